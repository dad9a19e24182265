#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

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

// /proc/locks names a file by its device, as hexadecimal major and minor numbers, and its inode:
// "1: FLOCK  ADVISORY  WRITE 4242 08:02:131074 0 EOF"; a process waiting for a lock has a line
// with "->" after the number.
std::vector<long> LockHolders(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    std::vector<long> holders;
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, lockedFile;
        fields >> number >> kind >> mode >> access >> pid >> lockedFile;
        if (kind == "->" || lockedFile != file) continue;
        holders.push_back(std::strtol(pid.c_str(), nullptr, 10));
    }
    return holders;
}

}  // namespace merivo
