#pragma once
// Checks of a metrics text: Prometheus's own checker (promtool, Debian's package prometheus) and
// series that appear more than once.
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace merivo {

struct PromtoolResult {
    int status = -1;  // the exit status; -1 when promtool could not be run
    std::string output;
};

inline PromtoolResult CheckWithPromtool(const std::string& metrics) {
    TempDir dir;
    dir.writeFile("metrics.txt", metrics);
    const std::string command = "promtool check metrics < '" + dir.file("metrics.txt") + "' 2>&1";
    PromtoolResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) result.output += buffer;
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// The series (name and labels) that appear more than once.
inline std::vector<std::string> RepeatedSeries(const std::string& metrics) {
    std::istringstream lines(metrics);
    std::set<std::string> seen;
    std::vector<std::string> repeated;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const std::string series = line.substr(0, line.rfind(' '));
        if (!seen.insert(series).second) repeated.push_back(series);
    }
    return repeated;
}

// The value of a series ("name" or "name{label=\"value\"}"); -1 when it is not there.
inline double SeriesValue(const std::string& metrics, const std::string& series) {
    std::istringstream lines(metrics);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
    }
    return -1;
}

}  // namespace merivo
