#include "web/Metrics.h"

#include <gtest/gtest.h>

#include "web/MetricsCheck.h"

namespace merivo {
namespace {

AdminSnapshot SampleSnapshot() {
    AdminSnapshot s;
    s.version = "1.2.3";
    s.startUnixSeconds = 1700000000.5;
    s.connections = 3;
    GroupFigures office;
    office.alias = "Office";
    office.usersOnline = 2;
    office.usersConfigured = 3;
    office.editsStored = 7;
    GroupFigures odd = office;
    odd.alias = "Say \"hi\"\\\nthere";
    s.groups = {office, odd, office};  // the alias "Office" twice
    s.packagesByCode = {{"1000", 10}, {"4000", 2}, {"other", 1}};
    s.packageTimes.add(50'000);         // 0.05 ms
    s.packageTimes.add(2'000'000);      // 2 ms
    s.packageTimes.add(3'000'000'000);  // 3 s
    s.refusals = 4;
    s.bytesSent = 123456;
    s.httpStatuses = {{200, 5}, {403, 1}};
    return s;
}

TEST(MetricsTest, EveryFamilyHasHelpAndTypeAndCountersEndInTotal) {
    const std::string text = RenderMetrics(SampleSnapshot());
    const std::vector<std::pair<std::string, std::string>> families = {
        {"merivo_up", "gauge"},
        {"merivo_start_time_seconds", "gauge"},
        {"merivo_build_info", "gauge"},
        {"merivo_connections", "gauge"},
        {"merivo_users_online", "gauge"},
        {"merivo_users_configured", "gauge"},
        {"merivo_requests_total", "counter"},
        {"merivo_refusals_total", "counter"},
        {"merivo_edits_stored_total", "counter"},
        {"merivo_mail_stored_total", "counter"},
        {"merivo_direct_forwarded_total", "counter"},
        {"merivo_bytes_sent_total", "counter"},
        {"merivo_send_processes", "gauge"},
        {"merivo_queued_pieces", "gauge"},
        {"merivo_log_errors_total", "counter"},
        {"merivo_http_requests_total", "counter"},
        {"merivo_request_seconds", "histogram"},
    };
    for (const auto& [name, type] : families) {
        EXPECT_NE(text.find("# HELP " + name + " "), std::string::npos) << name;
        EXPECT_NE(text.find("# TYPE " + name + " " + type + "\n"), std::string::npos) << name;
    }
    EXPECT_EQ(SeriesValue(text, "merivo_build_info{version=\"1.2.3\"}"), 1);
    EXPECT_EQ(SeriesValue(text, "merivo_start_time_seconds"), 1700000000.5);
    EXPECT_EQ(SeriesValue(text, "merivo_requests_total{code=\"1000\"}"), 10);
    EXPECT_EQ(SeriesValue(text, "merivo_requests_total{code=\"other\"}"), 1);
    EXPECT_EQ(SeriesValue(text, "merivo_http_requests_total{status=\"403\"}"), 1);
    EXPECT_EQ(SeriesValue(text, "merivo_bytes_sent_total"), 123456);
}

TEST(MetricsTest, LabelValuesAreEscapedAndARepeatedAliasGetsItsGroupNumber) {
    const std::string text = RenderMetrics(SampleSnapshot());
    EXPECT_EQ(SeriesValue(text, "merivo_users_online{group=\"Office\"}"), 2);
    EXPECT_EQ(SeriesValue(text, "merivo_users_online{group=\"Say \\\"hi\\\"\\\\\\nthere\"}"), 2);
    EXPECT_EQ(SeriesValue(text, "merivo_edits_stored_total{group=\"Office #3\"}"), 7);
    EXPECT_TRUE(RepeatedSeries(text).empty());
}

TEST(MetricsTest, TheHistogramIsCumulativeWithSumAndCount) {
    const std::string text = RenderMetrics(SampleSnapshot());
    EXPECT_EQ(SeriesValue(text, "merivo_request_seconds_bucket{le=\"0.0001\"}"), 1);
    EXPECT_EQ(SeriesValue(text, "merivo_request_seconds_bucket{le=\"0.001\"}"), 1);
    EXPECT_EQ(SeriesValue(text, "merivo_request_seconds_bucket{le=\"0.0025\"}"), 2);
    EXPECT_EQ(SeriesValue(text, "merivo_request_seconds_bucket{le=\"1\"}"), 2);
    EXPECT_EQ(SeriesValue(text, "merivo_request_seconds_bucket{le=\"+Inf\"}"), 3);
    EXPECT_EQ(SeriesValue(text, "merivo_request_seconds_count"), 3);
    EXPECT_DOUBLE_EQ(SeriesValue(text, "merivo_request_seconds_sum"), 3.00205);
}

TEST(MetricsTest, PromtoolAcceptsTheText) {
    for (const AdminSnapshot& snapshot : {AdminSnapshot{}, SampleSnapshot()}) {
        const PromtoolResult check = CheckWithPromtool(RenderMetrics(snapshot));
        ASSERT_NE(check.status, 127) << "promtool is missing: scripts/install-deps prometheus";
        EXPECT_EQ(check.status, 0) << check.output;
    }
}

TEST(MetricsTest, HttpStatusesAreCountedInOrder) {
    ResetHttpStatusCounts();
    for (const int status : {404, 200, 200, 99, 600}) CountHttpStatus(status);
    const std::vector<std::pair<int, std::uint64_t>> expected = {{200, 2}, {404, 1}};
    EXPECT_EQ(HttpStatusCounts(), expected);
    ResetHttpStatusCounts();
}

}  // namespace
}  // namespace merivo
