#pragma once
// The administrator's two pages on the HTTP face: GET /status (the status page) and GET /metrics
// (the Prometheus text). Only the machine itself and the listed administrators see them; everyone
// else, configured users included, gets 403.
#include <functional>

#include "web/AdminAccess.h"
#include "web/AdminSnapshot.h"
#include "web/WebRouter.h"

namespace merivo {

// Adds to a snapshot what the HTTP face knows of itself (its address, the groups' ctags and
// feed addresses), for the request that asks.
using WebFactsFiller = std::function<void(AdminSnapshot&, const WebRequest&)>;

// The gate must outlive the router's use of the pages.
void AddAdminRoutes(WebRouter& router, const AdminGate& gate, WebFactsFiller fill);

}  // namespace merivo
