#include "platform/IniFile.h"

#include <charconv>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/Env.h"

namespace merivo {
namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Section and key names compare without regard to case of the Latin letters.
bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

// The name of a "[name]" line, or nothing when the line is no section header.
std::optional<std::string> SectionName(const std::string& line) {
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
    const auto close = trimmed.find(']');
    if (close == std::string::npos) return std::nullopt;
    return Trim(trimmed.substr(1, close - 1));
}

// The key and value of a "key=value" line, or nothing when the line holds no key.
std::optional<std::pair<std::string, std::string>> KeyValue(const std::string& line) {
    const auto equals = line.find('=');
    if (equals == std::string::npos) return std::nullopt;
    std::string key = Trim(line.substr(0, equals));
    if (key.empty() || key.front() == ';') return std::nullopt;
    return std::make_pair(key, Trim(line.substr(equals + 1)));
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string ReadWholeFile(const std::string& path) {
    auto file = CurrentEnv().openFile(path, OpenMode::Read);
    std::string text(static_cast<std::size_t>(file->size()), '\0');
    text.resize(file->readUpTo(text.data(), text.size()));
    return text;
}

// The line after the last line of the section whose header is at index header.
std::size_t SectionEnd(const std::vector<std::string>& lines, std::size_t header) {
    std::size_t end = header + 1;
    while (end < lines.size() && !SectionName(lines[end])) ++end;
    return end;
}

// The index of the key's line in the section, if any.
std::optional<std::size_t> FindKey(const std::vector<std::string>& lines, std::size_t header,
                                   const std::string& key) {
    const std::size_t end = SectionEnd(lines, header);
    for (std::size_t i = header + 1; i < end; ++i) {
        auto entry = KeyValue(lines[i]);
        if (entry && SameName(entry->first, key)) return i;
    }
    return std::nullopt;
}

}  // namespace

IniSection::IniSection(std::vector<std::pair<std::string, std::string>> values)
    : values_(std::move(values)) {}

std::string IniSection::value(const std::string& key) const {
    for (const auto& [name, value] : values_) {
        if (SameName(name, key)) return value;
    }
    return "";
}

bool IniSection::has(const std::string& key) const {
    for (const auto& entry : values_) {
        if (SameName(entry.first, key)) return true;
    }
    return false;
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {
    if (CurrentEnv().fileExists(path_)) lines_ = SplitLines(ReadWholeFile(path_));
}

std::optional<std::size_t> IniFile::findSection(const std::string& section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        auto name = SectionName(lines_[i]);
        if (name && SameName(*name, section)) return i;
    }
    return std::nullopt;
}

bool IniFile::sectionExists(const std::string& section) const {
    return findSection(section).has_value();
}

IniSection IniFile::readSection(const std::string& section) const {
    std::vector<std::pair<std::string, std::string>> values;
    if (auto header = findSection(section)) {
        const std::size_t end = SectionEnd(lines_, *header);
        for (std::size_t i = *header + 1; i < end; ++i) {
            if (auto entry = KeyValue(lines_[i])) values.push_back(std::move(*entry));
        }
    }
    return IniSection(std::move(values));
}

std::string IniFile::readString(const std::string& section, const std::string& key,
                                const std::string& fallback) const {
    IniSection values = readSection(section);
    return values.has(key) ? values.value(key) : fallback;
}

void IniFile::writeString(const std::string& section, const std::string& key,
                          const std::string& value) {
    const std::string line = key + "=" + value;
    auto header = findSection(section);
    if (!header) {
        lines_.push_back("[" + section + "]");
        lines_.push_back(line);
    } else if (auto existing = FindKey(lines_, *header, key)) {
        lines_[*existing] = line;
    } else {
        // New keys go after the section's last non-blank line, before any blank separator.
        std::size_t at = SectionEnd(lines_, *header);
        while (at > *header + 1 && Trim(lines_[at - 1]).empty()) --at;
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), line);
    }
    changed();
}

void IniFile::deleteKey(const std::string& section, const std::string& key) {
    auto header = findSection(section);
    if (!header) return;
    auto existing = FindKey(lines_, *header, key);
    if (!existing) return;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*existing));
    changed();
}

void IniFile::eraseSection(const std::string& section) {
    auto header = findSection(section);
    if (!header) return;
    const std::size_t end = SectionEnd(lines_, *header);
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*header),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
    changed();
}

void IniFile::changed() {
    if (deferred_) {
        unsaved_ = true;
    } else {
        save();
    }
}

// A failed commit keeps the changes deferred, so that it can be tried again.
void IniFile::commit() {
    if (unsaved_) save();
    unsaved_ = false;
    deferred_ = false;
}

// The new text is written beside the file and flushed to disk, then put in the file's place in
// one step, and the folder is synced so that the new name holds: a failed write (a full disk), a
// crash or a power loss leaves the old settings or the new ones, Server.ini is never missing, and
// a save that returned is not taken back.
void IniFile::save() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\r\n";
    Env& env = CurrentEnv();
    const std::string fresh = path_ + ".new";
    {
        std::unique_ptr<File> file = env.openFile(fresh, OpenMode::Create);
        file->write(text.data(), text.size());
        file->sync();
    }
    env.replaceFile(fresh, path_);
    env.syncFolder(FolderOf(path_));
}

std::optional<int> ParseWholeNumber(const std::string& text) {
    std::string_view digits(text);
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-') return std::nullopt;
    }
    const char* last = digits.data() + digits.size();
    int value = 0;
    auto [end, error] = std::from_chars(digits.data(), last, value);
    if (error != std::errc() || end != last) return std::nullopt;
    return value;
}

}  // namespace merivo
