#include "config/ini_file.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/codec.h"

#include "common/error.h"

namespace fwp {
namespace {

constexpr std::string_view Blanks = " \t";
constexpr std::string_view LineEnd = "\r\n";

bool IsCp932LeadByte(char c) {
    return codec::IsCp932LeadByte(static_cast<unsigned char>(c));
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The second byte of a CP932 character can be a letter's or "]"'s code, so
// the helpers below step over whole characters.
bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (IsCp932LeadByte(a[i])) {
            if (a[i] != b[i] || (i + 1 < a.size() && a[i + 1] != b[i + 1]))
                return false;
            ++i;
        } else if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::size_t FindByte(std::string_view text, char wanted) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == wanted)
            return i;
        if (IsCp932LeadByte(text[i]))
            ++i;
    }
    return std::string_view::npos;
}

// Lines without their ends; a CR right before the LF belongs to the end.
std::vector<std::string_view> SplitLines(std::string_view data) {
    std::vector<std::string_view> lines;
    while (!data.empty()) {
        const auto lf = data.find('\n');
        std::string_view line = data.substr(0, lf);
        data.remove_prefix(lf == std::string_view::npos ? data.size() : lf + 1);
        if (lf != std::string_view::npos && !line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
    }
    return lines;
}

// The name in a "[name]" line; no value for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = TrimBlanks(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    const auto close = FindByte(line, ']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return TrimBlanks(line.substr(1, close - 1));
}

struct TKeyLine {
    std::string_view Key;
    std::string_view Value;
};

std::optional<TKeyLine> KeyLine(std::string_view line) {
    line = TrimBlanks(line);
    if (line.empty() || line.front() == ';' || line.front() == '[')
        return std::nullopt;
    const auto equals = line.find('=');  // "=" is below every CP932 second byte
    if (equals == std::string_view::npos)
        return std::nullopt;
    const auto key = TrimBlanks(line.substr(0, equals));
    if (key.empty())
        return std::nullopt;
    return TKeyLine{key, TrimBlanks(line.substr(equals + 1))};
}

[[noreturn]] void Fail(const std::filesystem::path& path, int error) {
    throw TStreamError(path.string() + ": " + std::strerror(error));
}

// The whole file; no value (with errno set) when it cannot be read.
std::optional<std::string> ReadBytes(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char buffer[8192];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            errno = error;
            return std::nullopt;
        }
        data.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return data;
}

std::atomic<unsigned> g_tempCounter{0};

// Replaces the file with data through a temporary file in the same folder and
// a rename, so that a crash leaves either the old or the new file. A symbolic
// link is followed: the file it points to is replaced and the link stays.
void ReplaceFile(const std::filesystem::path& path, std::string_view data) {
    std::error_code ec;
    std::filesystem::path target = path;
    if (std::filesystem::is_symlink(path, ec)) {
        target = std::filesystem::weakly_canonical(path, ec);
        if (ec)
            Fail(path, ec.value());
    }
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT)
        Fail(path, errno);
    // A rename would replace even a read-only file; one the user protected stays as it is.
    if (exists && ::access(target.c_str(), W_OK) != 0)
        Fail(path, errno);

    std::filesystem::path folder = target.parent_path();
    if (folder.empty())
        folder = ".";
    const std::string tempStem = "." + target.filename().string() + "." + std::to_string(::getpid()) + ".";
    std::filesystem::path temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = folder / (tempStem + std::to_string(g_tempCounter++) + ".tmp");
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt >= 100))
            Fail(path, errno);
    }
    const auto abandon = [&](int error) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        Fail(path, error);
    };

    if (exists) {
        // Only a privileged process may give a file away; it keeps the owner, others cannot.
        if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
            [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
        }
        if (::fchmod(fd, old.st_mode & 07777) != 0)
            abandon(errno);
    }
    const char* next = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        const ssize_t count = ::write(fd, next, left);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            abandon(errno);
        }
        next += count;
        left -= static_cast<std::size_t>(count);
    }
    if (::fsync(fd) != 0)
        abandon(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        abandon(errno);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        abandon(errno);
    // The folder is not synced: after a crash it names either the old or the new
    // file, both complete, and the new settings are written again at the next save.
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos;
}

void CheckNames(std::string_view section, std::string_view key, std::string_view value) {
    const bool sectionOk = !section.empty() && TrimBlanks(section) == section && !HasLineBreak(section) &&
                           FindByte(section, ']') == std::string_view::npos;
    const bool keyOk = !key.empty() && TrimBlanks(key) == key && !HasLineBreak(key) && key.front() != '[' &&
                       key.front() != ';' && key.find('=') == std::string_view::npos;
    if (!sectionOk || !keyOk || HasLineBreak(value))
        throw std::invalid_argument("an INI line cannot hold this section, key or value");
}

}  // namespace

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(Blanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(Blanks);
    return text.substr(first, last - first + 1);
}

std::optional<std::string> TIniFile::ReadString(std::string_view section, std::string_view key) const {
    const auto data = ReadBytes(m_path);
    if (!data)
        return std::nullopt;
    bool inSection = false;
    for (const auto line : SplitLines(*data)) {
        if (const auto name = SectionName(line)) {
            if (inSection)
                return std::nullopt;  // only the first section of that name counts
            inSection = SameName(*name, section);
        } else if (inSection) {
            const auto keyLine = KeyLine(line);
            if (keyLine && SameName(keyLine->Key, key))
                return std::string(keyLine->Value);
        }
    }
    return std::nullopt;
}

namespace {

// Where a section starts, its last key line and the line of one key in it
// (each lines.size() when missing), and the file's own spelling of the key.
struct TKeyPlace {
    std::size_t Header;
    std::size_t LastKey;
    std::size_t Found;
    std::string_view Spelling;
};

TKeyPlace FindKey(const std::vector<std::string_view>& lines, std::string_view section,
                  std::string_view key) {
    TKeyPlace place{lines.size(), lines.size(), lines.size(), key};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = SectionName(lines[i])) {
            if (place.Header != lines.size())
                break;  // the section ended
            if (SameName(*name, section))
                place.Header = i;
        } else if (place.Header != lines.size()) {
            if (const auto keyLine = KeyLine(lines[i])) {
                place.LastKey = i;
                if (place.Found == lines.size() && SameName(keyLine->Key, key)) {
                    place.Found = i;
                    place.Spelling = keyLine->Key;
                }
            }
        }
    }
    return place;
}

// The file's bytes, or none when it does not exist; throws when it cannot be read.
std::string ReadForWrite(const std::filesystem::path& path) {
    auto data = ReadBytes(path);
    if (!data) {
        if (errno != ENOENT)
            Fail(path, errno);  // writing now would lose what could not be read
        return {};
    }
    return *data;
}

void WriteLines(const std::filesystem::path& path, const std::vector<std::string_view>& lines,
                const std::string& old) {
    std::string bytes;
    bytes.reserve(old.size() + 256);
    for (const auto line : lines) {
        bytes += line;
        bytes += LineEnd;
    }
    if (bytes == old)
        return;
    ReplaceFile(path, bytes);
}

}  // namespace

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    CheckNames(section, key, value);
    const std::string data = ReadForWrite(m_path);
    const auto lines = SplitLines(data);
    const TKeyPlace place = FindKey(lines, section, key);

    // The file's own spelling of the name is kept.
    const std::string newLine = std::string(place.Spelling) + "=" + std::string(value);
    const std::string newHeader = "[" + std::string(section) + "]";
    std::vector<std::string_view> out(lines.begin(), lines.end());
    if (place.Found != lines.size()) {
        out[place.Found] = newLine;
    } else if (place.Header != lines.size()) {
        const std::size_t after = place.LastKey != lines.size() ? place.LastKey : place.Header;
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(after + 1), newLine);
    } else {
        if (!out.empty() && !TrimBlanks(out.back()).empty())
            out.emplace_back();  // a blank line between sections
        out.emplace_back(newHeader);
        out.emplace_back(newLine);
    }
    WriteLines(m_path, out, data);
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
    const std::string data = ReadForWrite(m_path);
    const auto lines = SplitLines(data);
    const TKeyPlace place = FindKey(lines, section, key);
    if (place.Found == lines.size())
        return;
    std::vector<std::string_view> out(lines.begin(), lines.end());
    out.erase(out.begin() + static_cast<std::ptrdiff_t>(place.Found));
    WriteLines(m_path, out, data);
}

}  // namespace fwp
