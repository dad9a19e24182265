#pragma once
// Files and folders. Every file operation of the server goes through the current Env, so that
// tests can put a double in its place that makes any chosen operation fail.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace merivo {

// Raised by every failed file operation; the text names the operation and the path.
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file is open elsewhere in the process (a sharing conflict): the one failure that passes
// by itself once the other holder closes the file.
class FileInUseError : public IoError {
public:
    using IoError::IoError;
};

enum class OpenMode {
    Read,          // existing file, reading only
    ReadWrite,     // existing file, reading and writing
    Create,        // created (or truncated when it exists), reading and writing
    OpenOrCreate,  // existing file, or a new empty one when there is none; reading and writing
};

// An open file with a position, like a file stream. Files are opened exclusively: a second open of
// a file that is open somewhere in the process fails, as with an unshared open on Windows.
class File {
public:
    virtual ~File() = default;
    // Reads exactly n bytes at the position and advances it; a short read is a failure.
    virtual void read(void* buffer, std::size_t n) = 0;
    // Reads up to n bytes; returns how many were read (0 at the end of the file).
    virtual std::size_t readUpTo(void* buffer, std::size_t n) = 0;
    virtual void write(const void* buffer, std::size_t n) = 0;
    virtual void seek(std::int64_t position) = 0;
    virtual std::int64_t position() const = 0;
    virtual std::int64_t size() = 0;
    // Sets the size; the position is left where it was.
    virtual void truncate(std::int64_t size) = 0;
    // Returns once every byte written so far is on the disk (what a power loss cannot take back).
    virtual void sync() = 0;
    // Copies n bytes from source's position to this file's position and advances both; fewer
    // than n bytes left in source is a failure. Files of the real file system copy inside the
    // operating system, without passing the bytes through the process.
    virtual void copyFrom(File& source, std::int64_t n);
};

class Env {
public:
    virtual ~Env() = default;

    virtual std::unique_ptr<File> openFile(const std::string& path, OpenMode mode) = 0;
    virtual bool fileExists(const std::string& path) = 0;
    virtual bool folderExists(const std::string& path) = 0;
    virtual void createFolder(const std::string& path) = 0;
    virtual void renameFile(const std::string& from, const std::string& to) = 0;
    // Puts from in the place of to in one step: to is never missing, and a reader sees either the
    // old or the new file. to may or may not exist; neither file may be open.
    virtual void replaceFile(const std::string& from, const std::string& to) = 0;
    virtual void deleteFile(const std::string& path) = 0;
    // The names of the files directly inside the folder, in no particular order.
    virtual std::vector<std::string> listFiles(const std::string& folder) = 0;
    // Returns once the names in the folder are on the disk. A new or renamed file's contents may
    // be synced, yet a power loss takes back its name until its folder is synced too.
    virtual void syncFolder(const std::string& path) = 0;
};

// The real file system.
Env& PosixEnv();

// The Env that the server uses now: PosixEnv unless a test has put another in place.
Env& CurrentEnv();

// Puts an Env in place for the lifetime of this object (tests).
class ScopedEnv {
public:
    explicit ScopedEnv(Env& env);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    Env* previous_;
};

// A File over bytes in memory (the vector grows when written past its end).
std::unique_ptr<File> OpenMemoryFile(std::vector<std::uint8_t>& bytes);

// Joins a folder and a name with the platform separator.
std::string JoinPath(const std::string& folder, const std::string& name);
// The folder part of a path, without a trailing separator ("." for a bare name).
std::string FolderOf(const std::string& path);

// Creates an empty file when none exists at path.
void CreateEmptyFileIfMissing(const std::string& path);

}  // namespace merivo
