// The data file a loaded database keeps open while the server runs.
#include <algorithm>
#include <memory>
#include <utility>

#include "db/UnSFile.h"

namespace merivo {
namespace {

// A file whose size is taken once, when it is opened, and then follows the writes and
// truncations made through it: right as long as nothing else writes the file.
class KnownSizeFile : public File {
  public:
    explicit KnownSizeFile(std::unique_ptr<File> file)
        : file_(std::move(file)), size_(file_->size()) {}

    void read(void* buffer, std::size_t n) override { file_->read(buffer, n); }
    std::size_t readUpTo(void* buffer, std::size_t n) override {
        return file_->readUpTo(buffer, n);
    }
    void write(const void* buffer, std::size_t n) override {
        file_->write(buffer, n);
        size_ = std::max(size_, file_->position());
    }
    void seek(std::int64_t position) override { file_->seek(position); }
    std::int64_t position() const override { return file_->position(); }
    std::int64_t size() override { return size_; }
    void truncate(std::int64_t size) override {
        file_->truncate(size);
        size_ = size;
    }
    void sync() override { file_->sync(); }

  private:
    std::unique_ptr<File> file_;
    std::int64_t size_;
};

}  // namespace

File& KeptDataFile(TMyDBUser& db) {
    if (!db.dataFile) {
        db.dataFile = std::make_unique<KnownSizeFile>(
            CurrentEnv().openFile(db.dataFilePath, OpenMode::ReadWrite));
    }
    return *db.dataFile;
}

void KeepDataFileOpen(TMyDBUser& db) {
    try {
        KeptDataFile(db);
    } catch (const IoError&) {
        // Each request that needs the file tries again and reports what it finds.
    }
}

void ReleaseDataFile(TMyDBUser& db) {
    db.dataFile.reset();
}

void UseDataFile(TMyDBUser& db, const std::function<void(File&)>& use) {
    try {
        use(KeptDataFile(db));
        return;
    } catch (const std::exception&) {
        ReleaseDataFile(db);
    }
    try {
        use(KeptDataFile(db));
    } catch (...) {
        ReleaseDataFile(db);  // its known size may no longer be what the file holds
        throw;
    }
}

}  // namespace merivo
