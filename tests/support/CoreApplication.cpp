#include "support/CoreApplication.h"

#include <QCoreApplication>

namespace merivo {

void EnsureCoreApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "merivo-test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application = new QCoreApplication(argc, argv);
    (void)application;
}

}  // namespace merivo
