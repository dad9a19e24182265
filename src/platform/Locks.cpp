#include "platform/Locks.h"

namespace merivo {

std::recursive_mutex& ThreadTableLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::recursive_mutex& LogLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace merivo
