#pragma once
// One server per program folder: the guard holds a lock file in that folder while the server runs,
// so servers in different folders (tests among them) run side by side.
#include <string>

#include "platform/FileLock.h"

namespace merivo {

class SingleInstanceGuard {
public:
    explicit SingleInstanceGuard(const std::string& appDir);
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // False when another process holds the folder, or when the lock cannot be made there.
    bool acquired() const { return lock_.acquired(); }
    // Another process holds the folder.
    bool heldElsewhere() const { return lock_.heldElsewhere(); }
    // Why the lock could not be made; nothing when it was, or when it is held elsewhere.
    const ErrorText& failure() const { return lock_.failure(); }

private:
    FileLock lock_;
};

// The lock file of a program folder, held while a server runs there.
std::string InstanceLockPath(const std::string& appDir);

// The folder of the running program file, without a trailing separator.
std::string ProgramFolder();

}  // namespace merivo
