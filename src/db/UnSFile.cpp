#include "db/UnSFile.h"

namespace merivo {

void HandleRelayPackage(TMyNameUser& sender, std::unique_ptr<File>& package,
                        const std::string& spillPath) {
    (void)sender;
    (void)package;
    (void)spillPath;
}

}  // namespace merivo
