#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/Env.h"

namespace merivo {

SingleInstanceGuard::SingleInstanceGuard(const std::string& appDir) {
    const std::string path = JoinPath(appDir, ".merivo-server.lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        failure_ = "cannot create " + path + ": " + std::strerror(errno);
        return;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        heldElsewhere_ = errno == EWOULDBLOCK;
        if (!heldElsewhere_) failure_ = "cannot lock " + path + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
    }
}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (fd_ >= 0) ::close(fd_);
}

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    const std::string program(path, static_cast<std::size_t>(length));
    const auto slash = program.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : program.substr(0, slash);
}

}  // namespace merivo
