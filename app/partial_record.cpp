#include "app/partial_record.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace fwp {
namespace {

// A name line is at most one wire line; anything longer is not a record of ours.
constexpr std::size_t MaxRecordBytes = 70 * 1024;

std::string RecordText(std::int64_t size, std::string_view nameLine) {
    std::string text = std::to_string(size);
    text += '\n';
    text += nameLine;
    return text;
}

std::string RecordFileName(const std::string& name) {
    return "." + name + std::string(PartialFileSuffix);
}

bool NoUserAttributes(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP;
}

// Reads a small regular file inside dirFd without following a link.
bool ReadRecordFile(int dirFd, const std::string& name, std::string& text) {
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
              static_cast<std::size_t>(st.st_size) <= MaxRecordBytes;
    if (ok) {
        text.resize(static_cast<std::size_t>(st.st_size));
        ok = ::pread(fd, text.data(), text.size(), 0) == st.st_size;
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool WritePartialRecord(const TFileStream& stream, std::int64_t size, std::string_view nameLine) {
    const std::string text = RecordText(size, nameLine);
    if (::fsetxattr(stream.Fd(), PartialAttribute, text.data(), text.size(), 0) == 0)
        return true;
    if (!NoUserAttributes(errno) || stream.FolderFd() < 0)
        return false;
    const std::string recordName = RecordFileName(stream.EntryName());
    const int fd = ::openat(stream.FolderFd(), recordName.c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

bool PartialRecordMatches(int dirFd, const std::string& name, std::int64_t size, std::string_view nameLine) {
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    std::string text(MaxRecordBytes, '\0');
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t got = regular ? ::fgetxattr(fd, PartialAttribute, text.data(), text.size()) : -1;
    const int error = errno;
    ::close(fd);
    if (!regular)
        return false;
    if (got >= 0)
        text.resize(static_cast<std::size_t>(got));
    else if (!NoUserAttributes(error) || !ReadRecordFile(dirFd, RecordFileName(name), text))
        return false;
    return text == RecordText(size, nameLine);
}

bool PartialRecordMatches(const std::filesystem::path& path, std::int64_t size, std::string_view nameLine) {
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    const bool matches = PartialRecordMatches(dirFd, path.filename().string(), size, nameLine);
    ::close(dirFd);
    return matches;
}

void ClearPartialRecord(const TFileStream& stream) {
    if (::fremovexattr(stream.Fd(), PartialAttribute) == 0 || !NoUserAttributes(errno))
        return;
    if (stream.FolderFd() >= 0)
        ::unlinkat(stream.FolderFd(), RecordFileName(stream.EntryName()).c_str(), 0);
}

}  // namespace fwp
