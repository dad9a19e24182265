#include "web/AdminPages.h"

#include "web/Metrics.h"
#include "web/StatusPage.h"

namespace merivo {

namespace {

using PageRenderer = std::string (*)(const AdminSnapshot&);

WebHandler AdminPage(const AdminGate& gate, WebFactsFiller fill, SnapshotFor use,
                     const char* contentType, PageRenderer render) {
    return [&gate, fill = std::move(fill), use, contentType, render](const WebRequest& request) {
        if (!gate.mayView(request.peerAddress)) return WebResponse::Status(403);
        if (request.method != "GET" && request.method != "HEAD") {
            return WebResponse::Status(405).with("Allow", "GET, HEAD");
        }
        AdminSnapshot snapshot = TakeAdminSnapshot(use);
        snapshot.version = MERIVO_VERSION;
        snapshot.httpStatuses = HttpStatusCounts();
        fill(snapshot, request);
        return WebResponse::Text(200, contentType, QByteArray::fromStdString(render(snapshot)))
            .with("Cache-Control", "no-store");
    };
}

}  // namespace

void AddAdminRoutes(WebRouter& router, const AdminGate& gate, WebFactsFiller fill) {
    router.add("/status", WebAccessRule::Anyone,
               AdminPage(gate, fill, SnapshotFor::Page, kStatusPageContentType, RenderStatusPage));
    router.add("/metrics", WebAccessRule::Anyone,
               AdminPage(gate, fill, SnapshotFor::Metrics, kMetricsContentType, RenderMetrics));
}

}  // namespace merivo
