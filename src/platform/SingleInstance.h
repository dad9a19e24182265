#pragma once
// One server per program folder: the guard holds a lock file in that folder while the server runs,
// so servers in different folders (tests among them) run side by side.
#include <string>

namespace merivo {

class SingleInstanceGuard {
public:
    explicit SingleInstanceGuard(const std::string& appDir);
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // False when another process holds the folder.
    bool acquired() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The folder of the running program file, without a trailing separator.
std::string ProgramFolder();

}  // namespace merivo
