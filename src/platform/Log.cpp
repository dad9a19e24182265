#include "platform/Log.h"

#include <exception>
#include <mutex>

#include "platform/Config.h"
#include "platform/Locks.h"

namespace merivo {

namespace {

LogSink* Sink = nullptr;  // guarded by LogLock()

}  // namespace

void SetLogSink(LogSink* sink) {
    std::lock_guard<std::recursive_mutex> guard(LogLock());
    Sink = sink;
}

void WriteLog(const std::string& message) {
    try {
        std::lock_guard<std::recursive_mutex> guard(LogLock());
        if (Sink == nullptr) return;
        Sink->append(message);
    } catch (...) {
        // Logging never fails its caller; a line that cannot be written is lost.
    }
}

void DebugLog(const std::string& message) {
    if (Config.debugMode.load()) WriteLog(message);
}

std::string CaughtText() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace merivo
