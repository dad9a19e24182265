#include "net/UserTransport.h"

namespace merivo {

UserTransport& TransportOf(const TMyNameUser& user) {
    std::call_once(user.transportMade,
                   [&user] { user.transport = std::make_shared<UserTransport>(); });
    return *user.transport;
}

}  // namespace merivo
