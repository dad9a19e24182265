#include "db/UnDBserv.h"

namespace merivo {

void ProcessRequest(TMyNameUser& sender, const std::string& host, const std::uint8_t* package,
                    std::size_t size) {
    (void)sender;
    (void)host;
    (void)package;
    (void)size;
}

}  // namespace merivo
