#include "platform/Log.h"

#include <exception>

#include "platform/Config.h"
#include "platform/Locks.h"
#include "platform/Log_Recent.h"

namespace merivo {

namespace {

LogSink* Sink GUARDED_BY(LogMutex) = nullptr;

void Write(const std::string& message, bool trace) {
    try {
        MutexLock guard(LogLock());
        if (Sink == nullptr) return;
        Sink->append(message);
        KeepRecentLine(message, trace);
    } catch (...) {
        // Logging never fails its caller; a line that cannot be written is lost.
    }
}

}  // namespace

void SetLogSink(LogSink* sink) {
    MutexLock guard(LogLock());
    Sink = sink;
}

void WriteLog(const std::string& message) {
    Write(message, false);
}

void DebugLog(const std::string& message) {
    if (Config.debugMode.load()) Write(message, true);
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
