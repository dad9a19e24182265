#pragma once
// An Env for tests that passes every call to another Env (the disk, or the files in memory of a
// MemoryEnv) and makes chosen operations fail with IoError, optionally only on paths containing a
// given text, from the n-th call for k calls. Files it opens are wrapped, so their read, write,
// seek, size and truncate can fail too. It can also play a power loss: what was written but not
// synced is lost.
#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace merivo {

enum class FileOp {
    Open, Read, Write, Seek, Size, Truncate, Rename, Delete, CreateFolder, Sync, Replace, SyncFolder
};
constexpr int kFileOpCount = 12;

constexpr int kForever = -1;

class FaultInjectionEnv : public Env {
  public:
    explicit FaultInjectionEnv(Env& base = PosixEnv());

    // Makes calls of op fail on paths that contain pathPart (every path when it is empty): the
    // nth matching call (counting from 1) and the count - 1 matching calls after it; count
    // kForever fails every matching call from the nth on. Several faults may be set at once.
    void failOn(FileOp op, const std::string& pathPart = "", int nth = 1, int count = 1);
    // Calls action, outside the Env's lock, at every call of op on a path that contains pathPart,
    // before the call is made: a test can hold the thread that makes it there.
    void beforeCall(FileOp op, const std::string& pathPart, std::function<void()> action);
    // Removes every fault; the counts of calls stay.
    void clearFaults();

    // Calls of op seen so far, on any path, failed ones included.
    int calls(FileOp op) const;
    // Calls that were made to fail.
    int injectedFailures() const;

    // Power loss. From trackUnsyncedData on, the Env remembers what is on the disk for good: for
    // every file opened through it for writing, its contents at its last sync, or, before one,
    // at the moment it was first opened (no file when it did not exist); and the files made,
    // renamed or put in another's place since their folder was last synced, for a name is on the
    // disk only once its folder is. dropUnsyncedData puts every such file back to that state, as
    // a power loss would (contents first, then the names, newest change first), and starts
    // afresh from there. The remembered contents follow a renamed file; deletes count as done for
    // good. Renames stay within one folder; every file must be closed when the power goes.
    void trackUnsyncedData();
    void dropUnsyncedData();

    // Throws the injected IoError when a fault covers this call; used by the wrapped files.
    void check(FileOp op, const std::string& path);
    // The wrapped file at path was synced: its contents, read through it, are now on the disk.
    void noteSynced(const std::string& path, File& file);

    std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) override;
    bool fileExists(const std::string& path) override;
    bool folderExists(const std::string& path) override;
    void createFolder(const std::string& path) override;
    void renameFile(const std::string& from, const std::string& to) override;
    void replaceFile(const std::string& from, const std::string& to) override;
    void deleteFile(const std::string& path) override;
    std::vector<std::string> listFiles(const std::string& folder) override;
    void syncFolder(const std::string& path) override;

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
    struct Hook {
        FileOp op;
        std::string pathPart;
        std::function<void()> action;
    };
    std::vector<Hook> hooks_;
    std::array<int, kFileOpCount> calls_{};
    int injected_ = 0;
    // Tracked files that were written since they were last on the disk for good, with the
    // contents a power loss leaves (nothing: no file).
    bool tracking_ = false;
    std::map<std::string, std::optional<std::string>> durable_;
    // A name made (from empty) or moved since its folder was last synced, with what a replace
    // put aside: the durable contents of the file that was at `to` (nothing: no file).
    struct NameChange {
        std::string from, to;
        std::optional<std::string> displaced;
    };
    std::vector<NameChange> nameChanges_;

    void rememberBeforeWriting(const std::string& path, bool makesFile);
    void moveRemembered(const std::string& from, const std::string& to);
    std::optional<std::string> durableContents(const std::string& path);
    void undoNameChange(const NameChange& change);
};

const char* FileOpName(FileOp op);

}  // namespace merivo
