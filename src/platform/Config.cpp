#include "platform/Config.h"

namespace merivo {

ServerConfig Config;

void ResetConfig() {
    Config = ServerConfig{};
}

}  // namespace merivo
