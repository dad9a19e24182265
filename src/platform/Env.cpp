#include "platform/Env.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

#include "platform/Locks.h"

namespace merivo {
namespace {

[[noreturn]] void ThrowIoError(const std::string& operation, const std::string& path, int error) {
    throw IoError(operation + " failed for " + path + ": " + std::strerror(error));
}

[[noreturn]] void ThrowIoError(const std::string& operation, const std::string& path,
                               const char* reason) {
    throw IoError(operation + " failed for " + path + ": " + reason);
}

[[noreturn]] void ThrowInUse(const std::string& operation, const std::string& path) {
    throw FileInUseError(operation + " failed for " + path + ": the file is in use");
}

// A file is identified by device and inode, so two spellings of one path are the same file.
using FileId = std::pair<dev_t, ino_t>;

// The files open anywhere in the process. Windows opens files without sharing; this registry
// makes a second open of an open file fail in the same way.
class OpenFileRegistry {
  public:
    bool claim(FileId id) {
        MutexLock guard(mutex_);
        return open_.insert(id).second;
    }
    void release(FileId id) {
        MutexLock guard(mutex_);
        open_.erase(id);
    }
    bool isOpen(FileId id) {
        MutexLock guard(mutex_);
        return open_.count(id) != 0;
    }

  private:
    Mutex mutex_ LEAF_LOCK;
    std::set<FileId> open_ GUARDED_BY(mutex_);
};

OpenFileRegistry& Registry() {
    static OpenFileRegistry registry;
    return registry;
}

std::optional<struct stat> StatPath(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return info;
}

class PosixFile : public File {
  public:
    PosixFile(std::string path, int fd, FileId id) : path_(std::move(path)), fd_(fd), id_(id) {}

    ~PosixFile() override {
        ::close(fd_);
        Registry().release(id_);
    }

    void read(void* buffer, std::size_t n) override {
        if (readUpTo(buffer, n) != n) ThrowIoError("read", path_, "end of file");
    }

    std::size_t readUpTo(void* buffer, std::size_t n) override {
        auto* bytes = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            ssize_t got = ::pread(fd_, bytes + done, n - done, position_);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) ThrowIoError("read", path_, errno);
            if (got == 0) break;
            done += static_cast<std::size_t>(got);
            position_ += got;
        }
        return done;
    }

    void write(const void* buffer, std::size_t n) override {
        const auto* bytes = static_cast<const char*>(buffer);
        std::size_t done = 0;
        while (done < n) {
            ssize_t put = ::pwrite(fd_, bytes + done, n - done, position_);
            if (put < 0 && errno == EINTR) continue;
            if (put < 0) ThrowIoError("write", path_, errno);
            done += static_cast<std::size_t>(put);
            position_ += put;
        }
    }

    void seek(std::int64_t position) override {
        if (position < 0) ThrowIoError("seek", path_, "negative position");
        position_ = position;
    }

    std::int64_t position() const override { return position_; }

    std::int64_t size() override {
        struct stat info {};
        if (::fstat(fd_, &info) != 0) ThrowIoError("size", path_, errno);
        return info.st_size;
    }

    void truncate(std::int64_t size) override {
        if (size < 0) ThrowIoError("truncate", path_, "negative size");
        if (::ftruncate(fd_, size) != 0) ThrowIoError("truncate", path_, errno);
    }

    void sync() override {
        if (::fdatasync(fd_) != 0) ThrowIoError("sync", path_, errno);
    }

    void copyFrom(File& source, std::int64_t n) override {
        auto* from = dynamic_cast<PosixFile*>(&source);
        if (!from) return File::copyFrom(source, n);
        while (n > 0) {
            loff_t in = from->position_;
            loff_t out = position_;
            const ssize_t done =
                ::copy_file_range(from->fd_, &in, fd_, &out, static_cast<std::size_t>(n), 0);
            if (done < 0 && errno == EINTR) continue;
            // Some file systems and kernels cannot copy between these two files.
            if (done < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                             errno == EINVAL)) {
                return File::copyFrom(source, n);
            }
            if (done < 0) ThrowIoError("copy", from->path_ + " to " + path_, errno);
            if (done == 0) ThrowIoError("read", from->path_, "end of file");
            from->position_ += done;
            position_ += done;
            n -= done;
        }
    }

  private:
    std::string path_;
    int fd_;
    FileId id_;
    std::int64_t position_ = 0;
};

int OpenFlags(OpenMode mode) {
    switch (mode) {
        case OpenMode::Read:
            return O_RDONLY;
        case OpenMode::ReadWrite:
            return O_RDWR;
        case OpenMode::Create:
        case OpenMode::OpenOrCreate:
            return O_RDWR | O_CREAT;
    }
    return O_RDONLY;
}

class RealEnv : public Env {
  public:
    std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) override {
        int fd = ::open(path.c_str(), OpenFlags(mode) | O_CLOEXEC, 0644);
        if (fd < 0) ThrowIoError("open", path, errno);
        // Truncation waits until the file is known not to be open elsewhere.
        FileId id = claimOrClose(path, fd);
        auto file = std::make_unique<PosixFile>(path, fd, id);
        if (mode == OpenMode::Create) file->truncate(0);
        return file;
    }

    bool fileExists(const std::string& path) override {
        auto info = StatPath(path);
        return info && S_ISREG(info->st_mode);
    }

    bool folderExists(const std::string& path) override {
        auto info = StatPath(path);
        return info && S_ISDIR(info->st_mode);
    }

    // A folder that is already there counts as created.
    void createFolder(const std::string& path) override {
        if (::mkdir(path.c_str(), 0755) == 0) return;
        const int error = errno;
        if (error == EEXIST && folderExists(path)) return;
        ThrowIoError("create folder", path, error);
    }

    // Like Windows: an open file cannot be renamed, and an existing file is never replaced.
    void renameFile(const std::string& from, const std::string& to) override {
        refuseIfOpen("rename", from);
        if (StatPath(to)) ThrowIoError("rename", from + " to " + to, "target exists");
        if (::rename(from.c_str(), to.c_str()) != 0) {
            ThrowIoError("rename", from + " to " + to, errno);
        }
    }

    void replaceFile(const std::string& from, const std::string& to) override {
        refuseIfOpen("replace", from);
        refuseIfOpen("replace", to);
        if (::rename(from.c_str(), to.c_str()) != 0) {
            ThrowIoError("replace", to + " with " + from, errno);
        }
    }

    // Like Windows: an open file cannot be deleted.
    void deleteFile(const std::string& path) override {
        refuseIfOpen("delete", path);
        if (::unlink(path.c_str()) != 0) ThrowIoError("delete", path, errno);
    }

    void syncFolder(const std::string& path) override {
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) ThrowIoError("sync folder", path, errno);
        const int result = ::fsync(fd);
        const int error = errno;
        ::close(fd);
        if (result != 0) ThrowIoError("sync folder", path, error);
    }

    std::vector<std::string> listFiles(const std::string& folder) override {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (!dir) ThrowIoError("list", folder, errno);
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir.get())) {
            if (fileExists(JoinPath(folder, entry->d_name))) names.emplace_back(entry->d_name);
        }
        return names;
    }

  private:
    static FileId claimOrClose(const std::string& path, int fd) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            int error = errno;
            ::close(fd);
            ThrowIoError("open", path, error);
        }
        if (!S_ISREG(info.st_mode)) {
            ::close(fd);
            ThrowIoError("open", path, "not a file");
        }
        FileId id{info.st_dev, info.st_ino};
        if (!Registry().claim(id)) {
            ::close(fd);
            ThrowInUse("open", path);
        }
        return id;
    }

    static void refuseIfOpen(const std::string& operation, const std::string& path) {
        auto info = StatPath(path);
        if (info && Registry().isOpen({info->st_dev, info->st_ino})) ThrowInUse(operation, path);
    }
};

class MemoryFile : public File {
  public:
    explicit MemoryFile(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

    void read(void* buffer, std::size_t n) override {
        if (readUpTo(buffer, n) != n) throw IoError("read failed for memory file: end of data");
    }

    std::size_t readUpTo(void* buffer, std::size_t n) override {
        if (position_ >= bytes_.size()) return 0;
        std::size_t count = std::min(n, bytes_.size() - position_);
        std::memcpy(buffer, bytes_.data() + position_, count);
        position_ += count;
        return count;
    }

    void write(const void* buffer, std::size_t n) override {
        if (n == 0) return;
        if (bytes_.size() < position_ + n) bytes_.resize(position_ + n);
        std::memcpy(bytes_.data() + position_, buffer, n);
        position_ += n;
    }

    void seek(std::int64_t position) override {
        if (position < 0) throw IoError("seek failed for memory file: negative position");
        position_ = static_cast<std::size_t>(position);
    }

    std::int64_t position() const override { return static_cast<std::int64_t>(position_); }
    std::int64_t size() override { return static_cast<std::int64_t>(bytes_.size()); }

    void truncate(std::int64_t size) override {
        if (size < 0) throw IoError("truncate failed for memory file: negative size");
        bytes_.resize(static_cast<std::size_t>(size));
    }

    void sync() override {}

  private:
    std::vector<std::uint8_t>& bytes_;
    std::size_t position_ = 0;
};

constexpr std::size_t kCopyBlock = 1 << 20;

std::atomic<Env*>& CurrentEnvPointer() {
    static std::atomic<Env*> current{&PosixEnv()};
    return current;
}

}  // namespace

void File::copyFrom(File& source, std::int64_t n) {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<std::int64_t>(n, kCopyBlock)));
    while (n > 0) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(n, kCopyBlock));
        source.read(buffer.data(), piece);
        write(buffer.data(), piece);
        n -= static_cast<std::int64_t>(piece);
    }
}

Env& PosixEnv() {
    static RealEnv env;
    return env;
}

Env& CurrentEnv() {
    return *CurrentEnvPointer().load();
}

ScopedEnv::ScopedEnv(Env& env) : previous_(CurrentEnvPointer().exchange(&env)) {}

ScopedEnv::~ScopedEnv() {
    CurrentEnvPointer().store(previous_);
}

std::unique_ptr<File> OpenMemoryFile(std::vector<std::uint8_t>& bytes) {
    return std::make_unique<MemoryFile>(bytes);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void CreateEmptyFileIfMissing(const std::string& path) {
    Env& env = CurrentEnv();
    if (!env.fileExists(path)) env.openFile(path, OpenMode::Create);
}

}  // namespace merivo
