#pragma once
// Time as the server sees it: the millisecond tick counter, the local date and time, sleeping,
// and the long time-outs. All come through the current Clock so that tests can set the date and
// shorten the waits.
#include <cstdint>

#include "platform/Locks.h"

namespace merivo {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the system started; wraps like a 32-bit tick counter.
    virtual std::uint32_t tickCount() = 0;
    // Local date and time as days since 30 December 1899 (the fraction is the time of day).
    virtual double now() = 0;
    virtual void sleepMs(int milliseconds) MAY_WAIT = 0;
};

Clock& SystemClock();
Clock& CurrentClock();

class ScopedClock {
public:
    explicit ScopedClock(Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* previous_;
};

// The long waits of the server. Tests shorten them; the server uses the defaults.
struct Timeouts {
    int fileOpenRetryMs = 60000;   // retrying open of inbox files
    int sendAttempts = 6000;       // empty sends before a send process gives up
    int timedSendAttempts = 3000;  // empty sends before the mail sender's timed sender gives up
    int receiveFailures = 1000;    // failed reads in a row before the receiver complains
};

Timeouts& CurrentTimeouts();

}  // namespace merivo
