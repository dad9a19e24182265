#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace merivo {

// flock rather than fcntl locks: an fcntl lock would be dropped whenever any other descriptor of
// the same file is closed in this process, and the server opens and closes its files per request.
FileLock::FileLock(const std::string& path, bool create) {
    const int flags = create ? O_RDWR | O_CREAT : O_RDONLY;
    fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        failure_ = "cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        heldElsewhere_ = errno == EWOULDBLOCK;
        if (!heldElsewhere_) failure_ = "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

}  // namespace merivo
