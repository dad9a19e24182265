#pragma once
// An Env for tests that passes every call to another Env and makes chosen operations fail with
// IoError, optionally only on paths containing a given text, from the n-th call for k calls.
// Files it opens are wrapped, so their read, write, seek, size and truncate can fail too.
#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace merivo {

enum class FileOp { Open, Read, Write, Seek, Size, Truncate, Rename, Delete, CreateFolder, Sync, Replace };
constexpr int kFileOpCount = 11;

constexpr int kForever = -1;

class FaultInjectionEnv : public Env {
  public:
    explicit FaultInjectionEnv(Env& base = PosixEnv());

    // Makes calls of op fail on paths that contain pathPart (every path when it is empty): the
    // nth matching call (counting from 1) and the count - 1 matching calls after it; count
    // kForever fails every matching call from the nth on. Several faults may be set at once.
    void failOn(FileOp op, const std::string& pathPart = "", int nth = 1, int count = 1);
    // Removes every fault; the counts of calls stay.
    void clearFaults();

    // Calls of op seen so far, on any path, failed ones included.
    int calls(FileOp op) const;
    // Calls that were made to fail.
    int injectedFailures() const;

    // Throws the injected IoError when a fault covers this call; used by the wrapped files.
    void check(FileOp op, const std::string& path);

    std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) override;
    bool fileExists(const std::string& path) override;
    bool folderExists(const std::string& path) override;
    void createFolder(const std::string& path) override;
    void renameFile(const std::string& from, const std::string& to) override;
    void replaceFile(const std::string& from, const std::string& to) override;
    void deleteFile(const std::string& path) override;

  private:
    struct Fault {
        FileOp op;
        std::string pathPart;
        int nth;
        int count;
        int seen = 0;  // matching calls so far
    };

    Env& base_;
    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
    std::array<int, kFileOpCount> calls_{};
    int injected_ = 0;
};

const char* FileOpName(FileOp op);

}  // namespace merivo
