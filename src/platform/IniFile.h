#pragma once
// INI files as the settings routines use them: sections in square brackets, key=value lines.
// Section and key names are matched without regard to case. Writing keeps every other line of
// the file (unknown keys and sections, comments, their order) and saves the file at once, or, for
// a set of changes that belong together, at the commit that ends them.
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace merivo {

// The key=value lines of one section, with case-insensitive lookup.
class IniSection {
public:
    IniSection() = default;
    explicit IniSection(std::vector<std::pair<std::string, std::string>> values);
    // The value of key; empty when the key is missing.
    std::string value(const std::string& key) const;
    bool has(const std::string& key) const;
    const std::vector<std::pair<std::string, std::string>>& values() const { return values_; }

private:
    std::vector<std::pair<std::string, std::string>> values_;
};

class IniFile {
public:
    // Reads the file through the current Env; a missing file reads as empty.
    // Throws IoError when the file exists but cannot be read.
    explicit IniFile(std::string path);

    const std::string& path() const { return path_; }
    bool sectionExists(const std::string& section) const;
    IniSection readSection(const std::string& section) const;
    std::string readString(const std::string& section, const std::string& key,
                           const std::string& fallback = "") const;

    // Each change is written to the file at once (unless deferred); throws IoError when it cannot
    // be written, and the file then stays as it was.
    void writeString(const std::string& section, const std::string& key, const std::string& value);
    void deleteKey(const std::string& section, const std::string& key);
    void eraseSection(const std::string& section);

    // From now on changes stay in memory until commit, which puts them all in the file in one
    // step: a reader never sees a part of them.
    void deferWrites() { deferred_ = true; }
    // Saves the deferred changes (nothing when there are none) and saves at once again after.
    void commit();

private:
    void changed();
    void save() const;
    std::optional<std::size_t> findSection(const std::string& section) const;

    std::string path_;
    std::vector<std::string> lines_;
    bool deferred_ = false;
    bool unsaved_ = false;
};

// A whole number as the settings need it: optional sign and decimal digits, nothing else.
std::optional<int> ParseWholeNumber(const std::string& text);

}  // namespace merivo
