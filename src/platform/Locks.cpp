#include "platform/Locks.h"

namespace merivo {

// Constant-initialised, so that they are usable before any constructor of the program runs.
constinit RecursiveMutex LogMutex;
constinit RecursiveMutex ThreadTableMutex;

}  // namespace merivo
