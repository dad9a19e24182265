#pragma once
// Files and folders in memory for tests and fuzz harnesses: no GoogleTest, only the platform
// layer, so the fuzzers link it as the tests do. Its files are memory files (OpenMemoryFile)
// over buffers it keeps; FaultInjectionEnv wraps it as it wraps the disk.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace merivo {

// Files and folders in memory, with the rules of the real Env: opens are exclusive, an open file
// can be neither renamed, replaced nor deleted, and only a replace takes another file's place.
// The buffers of deleted files are kept for the files that come next.
class MemoryEnv : public Env {
  public:
    using Bytes = std::vector<std::uint8_t>;

    std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) override;
    bool fileExists(const std::string& path) override;
    bool folderExists(const std::string& path) override;
    void createFolder(const std::string& path) override;
    void renameFile(const std::string& from, const std::string& to) override;
    void replaceFile(const std::string& from, const std::string& to) override;
    void deleteFile(const std::string& path) override;
    std::vector<std::string> listFiles(const std::string& folder) override;
    // Names in memory are never lost.
    void syncFolder(const std::string&) override {}

    // Removes every file and folder.
    void clear();
    // Direct access for setting up and checking; put creates the folders on the way.
    void put(const std::string& path, const std::uint8_t* bytes, std::size_t size);
    void put(const std::string& path, const Bytes& bytes) { put(path, bytes.data(), bytes.size()); }
    const Bytes* contents(const std::string& path) const;
    // Paths of the files directly inside the folder whose name ends with `extension`.
    std::vector<std::string> filesIn(const std::string& folder, const std::string& extension) const;

  private:
    class MemoryEnvFile;

    std::shared_ptr<Bytes> newBuffer(std::size_t size);
    void recycle(std::shared_ptr<Bytes> buffer);

    std::map<std::string, std::shared_ptr<Bytes>> files_;
    std::set<std::string> folders_;
    std::set<std::string> open_;
    std::vector<std::shared_ptr<Bytes>> spare_;
};

}  // namespace merivo
