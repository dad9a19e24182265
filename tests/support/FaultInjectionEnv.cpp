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
    }

  private:
    std::unique_ptr<File> base_;
    std::string path_;
    FaultInjectionEnv& env_;
};

}  // namespace

const char* FileOpName(FileOp op) {
    static const char* const kNames[kFileOpCount] = {
        "open", "read", "write", "seek", "size", "truncate", "rename", "delete", "create folder",
        "sync", "replace"};
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

void FaultInjectionEnv::check(FileOp op, const std::string& path) {
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

std::unique_ptr<File> FaultInjectionEnv::openFile(const std::string& path, OpenMode mode) {
    check(FileOp::Open, path);
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
}

void FaultInjectionEnv::replaceFile(const std::string& from, const std::string& to) {
    check(FileOp::Replace, from + " -> " + to);
    base_.replaceFile(from, to);
}

void FaultInjectionEnv::deleteFile(const std::string& path) {
    check(FileOp::Delete, path);
    base_.deleteFile(path);
}

}  // namespace merivo
