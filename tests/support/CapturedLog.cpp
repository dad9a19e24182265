#include "support/CapturedLog.h"

#include <algorithm>

namespace merivo {

void CapturedLog::append(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(message);
}

std::vector<std::string> CapturedLog::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

int CapturedLog::count(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

int CapturedLog::countContaining(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

void CapturedLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

}  // namespace merivo
