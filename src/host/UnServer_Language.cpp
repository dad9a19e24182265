#include "host/UnServer_Language.h"

#include <QDialog>
#include <QListWidget>
#include <QPushButton>
#include <array>
#include <string_view>

#include "db/UnDBType.h"
#include "host/UnServer.h"
#include "platform/Config.h"
#include "platform/Env.h"

namespace merivo {

namespace {

// "ДОГОВОР" in Windows-1251.
constexpr std::string_view kRussianLicenceWord = "\xC4\xCE\xC3\xCE\xC2\xCE\xD0";

}  // namespace

std::optional<int> LanguageFromLicence(const std::string& path) {
    std::array<char, kLicenceBytesRead> head{};
    try {
        std::unique_ptr<File> file = CurrentEnv().openFile(path, OpenMode::Read);
        file->read(head.data(), head.size());
    } catch (...) {
        return std::nullopt;  // no licence file, or a short one: the question decides
    }
    const std::string_view text(head.data(), head.size());
    return text.find(kRussianLicenceWord) != std::string_view::npos ? 1 : 0;
}

int AskInterfaceLanguage() {
    if (Headless()) return 0;
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Interface"));
    dialog.setFixedSize(142, 110);
    auto* list = new QListWidget(&dialog);
    list->setGeometry(8, 6, 121, 40);
    list->addItems({QStringLiteral("English"), QStringLiteral("Russian")});
    list->setCurrentRow(0);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setGeometry(8, 55, 121, 24);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    dialog.exec();
    return list->currentRow() == 1 ? 1 : 0;
}

int ChooseLanguage() {
    const std::string licence = JoinPath(Config.appDir, "License.txt");
    if (const std::optional<int> language = LanguageFromLicence(licence)) return *language;
    return AskInterfaceLanguage();
}

}  // namespace merivo
