#include "platform/SingleInstance.h"

#include <unistd.h>

#include <climits>

#include "platform/Env.h"

namespace merivo {

SingleInstanceGuard::SingleInstanceGuard(const std::string& appDir)
    : lock_(InstanceLockPath(appDir), true) {}

std::string InstanceLockPath(const std::string& appDir) {
    return JoinPath(appDir, ".merivo-server.lock");
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
