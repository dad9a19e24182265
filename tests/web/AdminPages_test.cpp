// The administrator's figures of a running in-process server: what two users do moves them.
#include <gtest/gtest.h>

#include "client/EndToEndSupport.h"
#include "platform/Log.h"
#include "web/AdminSnapshot.h"
#include "web/Metrics.h"
#include "web/MetricsCheck.h"
#include "web/StatusPage.h"

namespace merivo {
namespace {

class AdminPagesTest : public EndToEndTest {
  protected:
    static std::string Metrics() { return RenderMetrics(TakeAdminSnapshot(SnapshotFor::Metrics)); }
    static double Value(const std::string& metrics, const std::string& series) {
        return std::max(0.0, SeriesValue(metrics, series));  // a code not seen yet counts 0
    }
    void ReadWeek(MerivoClient& user) {
        user.sendPackage(BuildRequest(1000, 3, static_cast<double>(first), 7));
        ASSERT_TRUE(Await(user, Code(2000, 1)));
    }

    std::int64_t first = FirstTestDay();
};

TEST_F(AdminPagesTest, FiguresMoveWithWhatTheUsersDo) {
    StartServer(3, {first, first + 1});
    const std::string before = Metrics();
    MerivoClient& user1 = Connect(1);
    Connect(2);
    for (int i = 0; i < 10; ++i) ReadWeek(user1);
    Bytes refused = BuildRequest(2, 0, static_cast<double>(first - 100));  // before the first day
    user1.sendPackage(refused);
    ASSERT_TRUE(Await(user1, Code(7000)));
    user1.sendPackage(BuildRequest(2, 0, static_cast<double>(first + 1)));
    ASSERT_TRUE(Await(user1, Code(3000)));
    WriteLog("Error! client socket: 10054");

    const std::string after = Metrics();
    EXPECT_EQ(Value(after, "merivo_users_online{group=\"Diary\"}"), 2);
    EXPECT_EQ(Value(after, "merivo_users_configured{group=\"Diary\"}"), 3);
    EXPECT_EQ(Value(after, "merivo_requests_total{code=\"1000\"}") -
                  Value(before, "merivo_requests_total{code=\"1000\"}"),
              10);
    EXPECT_EQ(Value(after, "merivo_requests_total{code=\"2\"}") -
                  Value(before, "merivo_requests_total{code=\"2\"}"),
              2);
    EXPECT_EQ(Value(after, "merivo_refusals_total") - Value(before, "merivo_refusals_total"), 1);
    EXPECT_EQ(Value(after, "merivo_edits_stored_total{group=\"Diary\"}"), 1);
    EXPECT_GE(Value(after, "merivo_bytes_sent_total") - Value(before, "merivo_bytes_sent_total"),
              10 * 390390);
    // "Unable to insert data at the beginning ..." and the socket error; not the traces.
    EXPECT_EQ(Value(after, "merivo_log_errors_total") - Value(before, "merivo_log_errors_total"),
              2);
    EXPECT_GE(Value(after, "merivo_request_seconds_count") -
                  Value(before, "merivo_request_seconds_count"),
              12);
    EXPECT_TRUE(RepeatedSeries(after).empty());
    const PromtoolResult check = CheckWithPromtool(after);
    ASSERT_NE(check.status, 127) << "promtool is missing: scripts/install-deps prometheus";
    EXPECT_EQ(check.status, 0) << check.output;
}

TEST_F(AdminPagesTest, TheStatusPageShowsTheGroupAndWhoIsOnline) {
    StartServer(3, {first, first + 1, first + 2});
    Connect(1);
    Connect(2);
    const AdminSnapshot snapshot = TakeAdminSnapshot(SnapshotFor::Page);
    ASSERT_EQ(snapshot.groups.size(), 1u);
    const GroupFigures& group = snapshot.groups[0];
    EXPECT_EQ(group.alias, "Diary");
    EXPECT_EQ(group.records, 3);
    EXPECT_EQ(group.firstDay, first);
    EXPECT_EQ(group.lastDay, first + 2);
    EXPECT_EQ(group.usersOnline, 2);
    EXPECT_EQ(group.usersConfigured, 3);
    ASSERT_EQ(snapshot.users.size(), 3u);
    EXPECT_TRUE(snapshot.users[0].online);
    EXPECT_TRUE(snapshot.users[1].online);
    EXPECT_FALSE(snapshot.users[2].online);
    EXPECT_EQ(snapshot.connections, 2);
    EXPECT_FALSE(snapshot.recentLog.empty());

    const std::string page = RenderStatusPage(snapshot);
    for (const std::string& fact :
         {std::string(">Diary<"), std::string(">2 / 3<"), std::string(">user1<"),
          std::string(">127.0.0.3<"), std::string(">offline<"), ">" + snapshot.recentLog.back()}) {
        EXPECT_NE(page.find(fact), std::string::npos) << fact;
    }
}

}  // namespace
}  // namespace merivo
