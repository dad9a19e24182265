#pragma once
// An advisory lock on a file that other processes see: held from construction until the object
// is destroyed. It does not hinder reading or writing the file; it only makes a second lock of the
// same file fail, in this process as in any other.
#include <string>
#include <vector>

#include "platform/ErrorText.h"

namespace merivo {

class FileLock {
public:
    // Locks the file at path; with create, the file is made when it is missing.
    FileLock(const std::string& path, bool create);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool acquired() const { return fd_ >= 0; }
    // Someone else holds the lock.
    bool heldElsewhere() const { return heldElsewhere_; }
    // Why the lock could not be made; nothing when it was, or when it is held elsewhere.
    const ErrorText& failure() const { return failure_; }

private:
    int fd_ = -1;
    bool heldElsewhere_ = false;
    ErrorText failure_;
};

// The processes that hold a lock on the file at path, as the system lists them; empty when there
// are none or when the list cannot be read. Takes no lock itself, so it may look beside a holder
// that is about to lock the file.
std::vector<long> LockHolders(const std::string& path);

}  // namespace merivo
