#pragma once
// The log lines written while the sink is installed (SetLogSink), oldest first, for tests that
// check what was logged. Any thread may log into it.
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"

namespace merivo {

class CapturedLog : public LogSink {
  public:
    void append(const std::string& message) override;
    std::vector<std::string> lines() const;
    // Lines that are exactly `line`.
    int count(const std::string& line) const;
    bool contains(const std::string& line) const { return count(line) > 0; }
    // Lines that contain `text`.
    int countContaining(const std::string& text) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A captured log that is the log's sink for as long as it lives.
class InstalledLog : public CapturedLog {
  public:
    InstalledLog() { SetLogSink(this); }
    ~InstalledLog() override { SetLogSink(nullptr); }
    InstalledLog(const InstalledLog&) = delete;
    InstalledLog& operator=(const InstalledLog&) = delete;
};

}  // namespace merivo
