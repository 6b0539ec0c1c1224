#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace fwp {

// One INI file, read and written one key at a time. The layer deals in the
// file's bytes (CP932 for config.ini) and knows no encoding, except that it
// never takes the second byte of a CP932 double-byte character for a letter.
//
// Layout it understands: "[section]" lines, "key=value" lines and comment
// lines starting with ";". Section and key names compare case-insensitively
// (ASCII letters only); the first match wins. Lines may end with CR LF or LF.
//
// Every operation reads the file afresh, so changes made by someone else in
// between are kept. A write rewrites the whole file with CR LF line ends and
// changes nothing else: other keys, other sections, comments, blank lines and
// the order stay as they were.
class TIniFile {
public:
    explicit TIniFile(std::filesystem::path path) : m_path(std::move(path)) {}

    const std::filesystem::path& Path() const { return m_path; }

    // The value of key in section without surrounding blanks (spaces, tabs).
    // No value when the file cannot be read or holds no such key.
    std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;

    // Sets key in section to value, adding the key (after the section's last
    // key) or the section (at the end) when missing. The file is replaced
    // through a temporary file in the same folder, so it is never left half
    // written, and keeps its permissions. A write that would not change the
    // file's bytes leaves the file alone. The value is stored as given, but
    // surrounding blanks are not read back.
    // Throws TStreamError when the file cannot be read or written, and
    // std::invalid_argument for a name or value that one line cannot hold.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);

    // Removes key's line from section, the same way a write replaces the
    // file; a file without the key is left alone. Throws TStreamError when
    // the file cannot be read or written.
    void DeleteKey(std::string_view section, std::string_view key);

private:
    std::filesystem::path m_path;
};

// Text without the blanks (spaces, tabs) around it, as values are read.
std::string_view TrimBlanks(std::string_view text);

}  // namespace fwp
