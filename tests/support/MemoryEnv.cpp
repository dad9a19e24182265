#include "support/MemoryEnv.h"

#include <utility>

namespace merivo {

namespace {

constexpr std::size_t kSpareBuffers = 16;

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

[[noreturn]] void Refuse(const std::string& operation, const std::string& path,
                         const char* reason) {
    throw IoError(operation + " failed for " + path + ": " + reason);
}

}  // namespace

// A file of the MemoryEnv: the bytes stay shared with the Env, the claim ends with the file.
class MemoryEnv::MemoryEnvFile : public File {
  public:
    MemoryEnvFile(MemoryEnv& env, std::string path, std::shared_ptr<Bytes> bytes)
        : env_(env),
          path_(std::move(path)),
          bytes_(std::move(bytes)),
          file_(OpenMemoryFile(*bytes_)) {}
    ~MemoryEnvFile() override { env_.open_.erase(path_); }

    void read(void* buffer, std::size_t n) override { file_->read(buffer, n); }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        return file_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override { file_->write(buffer, n); }
    void seek(std::int64_t position) override { file_->seek(position); }
    std::int64_t position() const override { return file_->position(); }
    std::int64_t size() override { return file_->size(); }
    void truncate(std::int64_t size) override { file_->truncate(size); }
    void sync() override {}  // memory has no disk to reach

  private:
    MemoryEnv& env_;
    std::string path_;
    std::shared_ptr<Bytes> bytes_;
    std::unique_ptr<File> file_;
};

std::unique_ptr<File> MemoryEnv::openFile(const std::string& path, OpenMode mode) {
    auto found = files_.find(path);
    if (found == files_.end()) {
        if (mode != OpenMode::Create && mode != OpenMode::OpenOrCreate) {
            Refuse("open", path, "no such file");
        }
        if (!folderExists(ParentOf(path)) || folderExists(path)) {
            Refuse("open", path, "no such folder");
        }
        found = files_.emplace(path, newBuffer(0)).first;
    }
    if (!open_.insert(path).second) {
        throw FileInUseError("open failed for " + path + ": the file is in use");
    }
    if (mode == OpenMode::Create) found->second->clear();
    return std::make_unique<MemoryEnvFile>(*this, path, found->second);
}

bool MemoryEnv::fileExists(const std::string& path) {
    return files_.count(path) != 0;
}

bool MemoryEnv::folderExists(const std::string& path) {
    return path.empty() || folders_.count(path) != 0;
}

void MemoryEnv::createFolder(const std::string& path) {
    if (fileExists(path)) Refuse("create folder", path, "a file of that name exists");
    if (!folderExists(ParentOf(path))) Refuse("create folder", path, "no such folder");
    folders_.insert(path);
}

void MemoryEnv::renameFile(const std::string& from, const std::string& to) {
    auto found = files_.find(from);
    if (found == files_.end()) Refuse("rename", from, "no such file");
    if (open_.count(from) != 0) Refuse("rename", from, "the file is in use");
    if (fileExists(to) || folderExists(to)) Refuse("rename", to, "target exists");
    if (!folderExists(ParentOf(to))) Refuse("rename", to, "no such folder");
    files_.emplace(to, found->second);
    files_.erase(found);
}

void MemoryEnv::replaceFile(const std::string& from, const std::string& to) {
    auto found = files_.find(from);
    if (found == files_.end()) Refuse("replace", from, "no such file");
    if (open_.count(from) != 0 || open_.count(to) != 0) Refuse("replace", to, "the file is in use");
    if (folderExists(to)) Refuse("replace", to, "a folder of that name exists");
    if (!folderExists(ParentOf(to))) Refuse("replace", to, "no such folder");
    std::shared_ptr<Bytes> bytes = std::move(found->second);
    files_.erase(found);
    auto replaced = files_.find(to);
    if (replaced != files_.end())
        recycle(std::exchange(replaced->second, std::move(bytes)));
    else
        files_.emplace(to, std::move(bytes));
}

void MemoryEnv::deleteFile(const std::string& path) {
    auto found = files_.find(path);
    if (found == files_.end()) Refuse("delete", path, "no such file");
    if (open_.count(path) != 0) Refuse("delete", path, "the file is in use");
    recycle(std::move(found->second));
    files_.erase(found);
}

void MemoryEnv::clear() {
    for (auto& [path, bytes] : files_) recycle(std::move(bytes));
    files_.clear();
    folders_.clear();
}

void MemoryEnv::put(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    for (std::string folder = ParentOf(path); !folder.empty(); folder = ParentOf(folder)) {
        folders_.insert(folder);
    }
    auto found = files_.find(path);
    if (found == files_.end()) found = files_.emplace(path, newBuffer(size)).first;
    found->second->assign(bytes, bytes + size);
}

const MemoryEnv::Bytes* MemoryEnv::contents(const std::string& path) const {
    auto found = files_.find(path);
    return found == files_.end() ? nullptr : found->second.get();
}

std::vector<std::string> MemoryEnv::filesIn(const std::string& folder,
                                            const std::string& extension) const {
    std::vector<std::string> found;
    for (const auto& [path, bytes] : files_) {
        if (ParentOf(path) == folder && path.size() >= extension.size() &&
            path.compare(path.size() - extension.size(), extension.size(), extension) == 0) {
            found.push_back(path);
        }
    }
    return found;
}

std::vector<std::string> MemoryEnv::listFiles(const std::string& folder) {
    if (!folderExists(folder)) Refuse("list", folder, "no such folder");
    std::vector<std::string> names;
    for (const std::string& path : filesIn(folder, ""))
        names.push_back(path.substr(folder.size() + 1));
    return names;
}

// The spare buffer that holds `size` bytes with the least to spare, else the largest.
std::shared_ptr<MemoryEnv::Bytes> MemoryEnv::newBuffer(std::size_t size) {
    auto better = [size](const Bytes& candidate, const Bytes& best) {
        const bool fits = candidate.capacity() >= size;
        if (fits != (best.capacity() >= size)) return fits;
        return fits ? candidate.capacity() < best.capacity()
                    : candidate.capacity() > best.capacity();
    };
    auto best = spare_.begin();
    for (auto it = spare_.begin(); it != spare_.end(); ++it) {
        if (better(**it, **best)) best = it;
    }
    if (best == spare_.end()) return std::make_shared<Bytes>();
    std::shared_ptr<Bytes> buffer = std::move(*best);
    spare_.erase(best);
    return buffer;
}

// A buffer that no open file holds any more is kept for later files.
void MemoryEnv::recycle(std::shared_ptr<Bytes> buffer) {
    if (buffer.use_count() != 1 || spare_.size() >= kSpareBuffers) return;
    buffer->clear();
    spare_.push_back(std::move(buffer));
}

}  // namespace merivo
