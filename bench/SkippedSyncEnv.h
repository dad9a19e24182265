#pragma once
// The real file system with chosen syncs skipped, so that a benchmark measures in one run what
// they cost: the syncs of files (edits before they were flushed) and the syncs of folders (renames
// and new files before their names were made to outlive a power loss).
#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace merivo {

// A file whose sync returns at once.
class NoSyncFile : public File {
  public:
    explicit NoSyncFile(std::unique_ptr<File> base) : base_(std::move(base)) {}
    void read(void* buffer, std::size_t n) override { base_->read(buffer, n); }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        return base_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override { base_->write(buffer, n); }
    void seek(std::int64_t position) override { base_->seek(position); }
    std::int64_t position() const override { return base_->position(); }
    std::int64_t size() override { return base_->size(); }
    void truncate(std::int64_t size) override { base_->truncate(size); }
    void sync() override {}

  private:
    std::unique_ptr<File> base_;
};

class SkippedSyncEnv : public Env {
  public:
    SkippedSyncEnv(bool skipFileSyncs, bool skipFolderSyncs)
        : skipFileSyncs_(skipFileSyncs), skipFolderSyncs_(skipFolderSyncs) {}

    std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) override {
        std::unique_ptr<File> file = PosixEnv().openFile(path, mode);
        if (!skipFileSyncs_) return file;
        return std::make_unique<NoSyncFile>(std::move(file));
    }
    bool fileExists(const std::string& path) override { return PosixEnv().fileExists(path); }
    bool folderExists(const std::string& path) override { return PosixEnv().folderExists(path); }
    void createFolder(const std::string& path) override { PosixEnv().createFolder(path); }
    void renameFile(const std::string& from, const std::string& to) override {
        PosixEnv().renameFile(from, to);
    }
    void replaceFile(const std::string& from, const std::string& to) override {
        PosixEnv().replaceFile(from, to);
    }
    void deleteFile(const std::string& path) override { PosixEnv().deleteFile(path); }
    std::vector<std::string> listFiles(const std::string& folder) override {
        return PosixEnv().listFiles(folder);
    }
    void syncFolder(const std::string& path) override {
        if (!skipFolderSyncs_) PosixEnv().syncFolder(path);
    }

  private:
    bool skipFileSyncs_;
    bool skipFolderSyncs_;
};

}  // namespace merivo
