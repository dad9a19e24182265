#include "support/FaultInjectionEnv.h"

namespace merivo {
namespace {

// A file of the base Env whose operations first ask the fault-injecting Env.
class FaultInjectionFile : public File {
  public:
    FaultInjectionFile(std::unique_ptr<File> base, std::string path, FaultInjectionEnv& env)
        : base_(std::move(base)), path_(std::move(path)), env_(env) {}

    void read(void* buffer, std::size_t n) override {
        env_.check(FileOp::Read, path_);
        base_->read(buffer, n);
    }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        env_.check(FileOp::Read, path_);
        return base_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override {
        env_.check(FileOp::Write, path_);
        base_->write(buffer, n);
    }
    void seek(std::int64_t position) override {
        env_.check(FileOp::Seek, path_);
        base_->seek(position);
    }
    std::int64_t position() const override { return base_->position(); }
    std::int64_t size() override {
        env_.check(FileOp::Size, path_);
        return base_->size();
    }
    void truncate(std::int64_t size) override {
        env_.check(FileOp::Truncate, path_);
        base_->truncate(size);
    }
    void sync() override {
        env_.check(FileOp::Sync, path_);
        base_->sync();
        env_.noteSynced(path_, *base_);
    }

  private:
    std::unique_ptr<File> base_;
    std::string path_;
    FaultInjectionEnv& env_;
};

// Puts contents at path, or removes the file there when there are none.
void PutBack(Env& env, const std::string& path, const std::optional<std::string>& contents) {
    if (!contents) {
        if (env.fileExists(path)) env.deleteFile(path);
        return;
    }
    env.openFile(path, OpenMode::Create)->write(contents->data(), contents->size());
}

std::string TrimmedFolder(const std::string& path) {
    return path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

std::string ContentsOf(File& file) {
    const std::int64_t position = file.position();
    std::string contents(static_cast<std::size_t>(file.size()), '\0');
    file.seek(0);
    contents.resize(file.readUpTo(contents.data(), contents.size()));
    file.seek(position);
    return contents;
}

}  // namespace

const char* FileOpName(FileOp op) {
    static const char* const kNames[kFileOpCount] = {
        "open",   "read",   "write",         "seek", "size",    "truncate",
        "rename", "delete", "create folder", "sync", "replace", "sync folder"};
    return kNames[static_cast<int>(op)];
}

FaultInjectionEnv::FaultInjectionEnv(Env& base) : base_(base) {}

void FaultInjectionEnv::failOn(FileOp op, const std::string& pathPart, int nth, int count) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.push_back(Fault{op, pathPart, nth, count});
}

void FaultInjectionEnv::clearFaults() {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.clear();
}

int FaultInjectionEnv::calls(FileOp op) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_[static_cast<int>(op)];
}

int FaultInjectionEnv::injectedFailures() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return injected_;
}

void FaultInjectionEnv::beforeCall(FileOp op, const std::string& pathPart,
                                   std::function<void()> action) {
    std::lock_guard<std::mutex> guard(mutex_);
    hooks_.push_back({op, pathPart, std::move(action)});
}

void FaultInjectionEnv::check(FileOp op, const std::string& path) {
    std::vector<std::function<void()>> actions;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (const Hook& hook : hooks_) {
            if (hook.op == op && path.find(hook.pathPart) != std::string::npos) {
                actions.push_back(hook.action);
            }
        }
    }
    for (const auto& action : actions) action();
    std::lock_guard<std::mutex> guard(mutex_);
    ++calls_[static_cast<int>(op)];
    bool fail = false;
    for (Fault& fault : faults_) {
        if (fault.op != op || path.find(fault.pathPart) == std::string::npos) continue;
        ++fault.seen;
        const bool started = fault.seen >= fault.nth;
        const bool ended = fault.count != kForever && fault.seen >= fault.nth + fault.count;
        if (started && !ended) fail = true;
    }
    if (!fail) return;
    ++injected_;
    throw IoError(std::string("injected fault: ") + FileOpName(op) + " failed for " + path);
}

void FaultInjectionEnv::trackUnsyncedData() {
    std::lock_guard<std::mutex> guard(mutex_);
    tracking_ = true;
    durable_.clear();
    nameChanges_.clear();
}

void FaultInjectionEnv::dropUnsyncedData() {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& [path, contents] : durable_) PutBack(base_, path, contents);
    for (auto change = nameChanges_.rbegin(); change != nameChanges_.rend(); ++change) {
        undoNameChange(*change);
    }
    durable_.clear();
    nameChanges_.clear();
}

void FaultInjectionEnv::undoNameChange(const NameChange& change) {
    if (!base_.fileExists(change.to)) return;  // deleted since, for good
    if (change.from.empty()) {
        base_.deleteFile(change.to);
        return;
    }
    base_.replaceFile(change.to, change.from);
    PutBack(base_, change.to, change.displaced);
}

void FaultInjectionEnv::noteSynced(const std::string& path, File& file) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (tracking_) durable_[path] = ContentsOf(file);
}

void FaultInjectionEnv::rememberBeforeWriting(const std::string& path, bool makesFile) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!tracking_) return;
    const bool exists = base_.fileExists(path);
    if (makesFile && !exists) nameChanges_.push_back({"", path, std::nullopt});
    if (durable_.count(path) != 0) return;
    std::optional<std::string> contents;
    if (exists) contents = ContentsOf(*base_.openFile(path, OpenMode::Read));
    durable_[path] = std::move(contents);
}

// What a power loss leaves at path: the remembered contents of a file written since, else what
// is there now. Called with the mutex held.
std::optional<std::string> FaultInjectionEnv::durableContents(const std::string& path) {
    const auto remembered = durable_.find(path);
    if (remembered != durable_.end()) return remembered->second;
    if (!base_.fileExists(path)) return std::nullopt;
    return ContentsOf(*base_.openFile(path, OpenMode::Read));
}

void FaultInjectionEnv::moveRemembered(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!tracking_) return;
    const auto moved = durable_.find(from);
    if (moved == durable_.end()) {
        durable_.erase(to);  // the file put in place was on the disk for good already
        return;
    }
    durable_[to] = moved->second;
    durable_.erase(from);
}

std::unique_ptr<File> FaultInjectionEnv::openFile(const std::string& path, OpenMode mode) {
    check(FileOp::Open, path);
    const bool makesFile = mode == OpenMode::Create || mode == OpenMode::OpenOrCreate;
    if (mode != OpenMode::Read) rememberBeforeWriting(path, makesFile);
    return std::make_unique<FaultInjectionFile>(base_.openFile(path, mode), path, *this);
}

bool FaultInjectionEnv::fileExists(const std::string& path) {
    return base_.fileExists(path);
}

bool FaultInjectionEnv::folderExists(const std::string& path) {
    return base_.folderExists(path);
}

void FaultInjectionEnv::createFolder(const std::string& path) {
    check(FileOp::CreateFolder, path);
    base_.createFolder(path);
}

void FaultInjectionEnv::renameFile(const std::string& from, const std::string& to) {
    check(FileOp::Rename, from + " -> " + to);
    base_.renameFile(from, to);
    moveRemembered(from, to);
    std::lock_guard<std::mutex> guard(mutex_);
    if (tracking_) nameChanges_.push_back({from, to, std::nullopt});
}

void FaultInjectionEnv::replaceFile(const std::string& from, const std::string& to) {
    check(FileOp::Replace, from + " -> " + to);
    std::optional<std::string> displaced;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (tracking_) displaced = durableContents(to);
    }
    base_.replaceFile(from, to);
    moveRemembered(from, to);
    std::lock_guard<std::mutex> guard(mutex_);
    if (tracking_) nameChanges_.push_back({from, to, std::move(displaced)});
}

void FaultInjectionEnv::syncFolder(const std::string& path) {
    check(FileOp::SyncFolder, path);
    base_.syncFolder(path);
    std::lock_guard<std::mutex> guard(mutex_);
    const std::string folder = TrimmedFolder(path);
    std::erase_if(nameChanges_,
                  [&](const NameChange& change) { return FolderOf(change.to) == folder; });
}

void FaultInjectionEnv::deleteFile(const std::string& path) {
    check(FileOp::Delete, path);
    base_.deleteFile(path);
    std::lock_guard<std::mutex> guard(mutex_);
    durable_.erase(path);
}

std::vector<std::string> FaultInjectionEnv::listFiles(const std::string& folder) {
    return base_.listFiles(folder);
}

}  // namespace merivo
