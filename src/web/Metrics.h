#pragma once
// The figures of the running server in the Prometheus text format (version 0.0.4), and the count
// of the HTTP face's answers by status.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/AdminSnapshot.h"

namespace merivo {

constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

std::string RenderMetrics(const AdminSnapshot& snapshot);

// A label value as the format writes it between its quotes: backslash, double quote and line
// feed escaped.
std::string EscapeLabelValue(std::string_view value);

// The answers of the HTTP face by status; main thread only, plain counters.
void CountHttpStatus(int status);
// The statuses answered so far with their counts, in the order of the statuses.
std::vector<std::pair<int, std::uint64_t>> HttpStatusCounts();
void ResetHttpStatusCounts();

}  // namespace merivo
