#include "common/stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/error.h"

namespace fwp {
namespace {

// Start writing dirty pages back once this much was written, so that the
// final sync of a large file does not stall for the whole file.
constexpr std::int64_t WritebackChunkBytes = 32 << 20;

}  // namespace

std::string SystemErrorText(int error) {
    switch (error) {
        case ENOSPC:
            return "ディスクの空きがありません";
        case EDQUOT:
            return "ディスクの使用量の上限に達しました";
        case EFBIG:
            return "ファイルサイズの上限を超えました";
        case EACCES:
        case EPERM:
            return "アクセスが拒否されました";
        case EROFS:
            return "読み取り専用のファイルシステムです";
        case ENOENT:
            return "ファイルまたはフォルダがありません";
        case ENOTDIR:
            return "フォルダではありません";
        case ENAMETOOLONG:
            return "名前が長すぎます";
        case EEXIST:
            return "既に存在します";
        case EIO:
            return "入出力エラーが発生しました";
        case ENXIO:
            return "通常のファイルではありません";
        default:
            return std::strerror(error);
    }
}

void TMemoryStream::Seek(std::int64_t position) {
    m_position = std::max<std::int64_t>(position, 0);
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t length) {
    if (m_position >= Size())
        return 0;
    const std::size_t count = std::min<std::size_t>(length, static_cast<std::size_t>(Size() - m_position));
    std::memcpy(buffer, m_data.data() + m_position, count);
    m_position += static_cast<std::int64_t>(count);
    return count;
}

void TMemoryStream::Write(const void* data, std::size_t length) {
    const auto end = static_cast<std::size_t>(m_position) + length;
    if (end > m_data.size())
        m_data.resize(end);
    std::memcpy(m_data.data() + m_position, data, length);
    m_position = static_cast<std::int64_t>(end);
}

void TMemoryStream::Truncate(std::int64_t size) {
    m_data.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
    m_position = std::min(m_position, Size());
}

TFileStream::TFileStream(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

TFileStream::~TFileStream() {
    ::close(m_fd);
    if (m_folderFd >= 0)
        ::close(m_folderFd);
}

std::unique_ptr<TFileStream> TFileStream::Open(const std::string& path, TFileOpenMode mode) {
    return OpenIn(AT_FDCWD, path, mode);
}

std::unique_ptr<TFileStream> TFileStream::OpenIn(int dirFd, const std::string& name, TFileOpenMode mode) {
    // Non-blocking, so that opening a pipe or a device never waits; a plain
    // file ignores the flag.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
        case TFileOpenMode::fmRead:
            flags |= O_RDONLY;
            break;
        case TFileOpenMode::fmResume:
            flags |= O_WRONLY;
            break;
        case TFileOpenMode::fmCreate:
            flags |= O_RDWR | O_CREAT;
            break;
        case TFileOpenMode::fmCreateNew:
            flags |= O_RDWR | O_CREAT | O_EXCL;
            break;
    }
    const bool inFolder = dirFd != AT_FDCWD;
    if (inFolder)
        flags |= O_NOFOLLOW;
    const int fd = ::openat(dirFd, name.c_str(), flags, 0644);
    if (fd < 0)
        throw TStreamError(name + ": " + SystemErrorText(errno));
    auto stream = Adopt(fd, name, mode, inFolder);
    if (mode != TFileOpenMode::fmRead)
        stream->KeepFolder(dirFd, name);
    return stream;
}

void TFileStream::KeepFolder(int dirFd, const std::string& name) {
    if (dirFd != AT_FDCWD) {
        m_folderFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
        m_entry = name;
        return;
    }
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    m_folderFd = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    m_entry = slash == std::string::npos ? name : name.substr(slash + 1);
}

std::unique_ptr<TFileStream> TFileStream::Adopt(int fd, const std::string& path, TFileOpenMode mode,
                                                bool refuseLinks) {
    std::unique_ptr<TFileStream> stream(new TFileStream(fd, path));
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        stream->Fail("fstat");
    if (!S_ISREG(st.st_mode))
        throw TStreamError(path + ": 通常のファイルではありません");
    if (refuseLinks && st.st_nlink > 1)
        throw TStreamError(path + ": 他の場所へのリンクです");
    const int lock = (mode == TFileOpenMode::fmRead ? LOCK_SH : LOCK_EX) | LOCK_NB;
    if (::flock(fd, lock) != 0)
        throw TStreamError(path + ": 他で使用中です");
    stream->m_size = st.st_size;
    // The file is emptied only now that it is known to be ours alone.
    if (mode == TFileOpenMode::fmCreate && st.st_size != 0)
        stream->Truncate(0);
    return stream;
}

void TFileStream::Fail(const char* what) {
    m_failure = SystemErrorText(errno);
    throw TStreamError(m_path + ": " + what + ": " + m_failure);
}

void TFileStream::Seek(std::int64_t position) {
    m_position = std::max<std::int64_t>(position, 0);
}

std::size_t TFileStream::Read(void* buffer, std::size_t length) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(m_fd, out + done, length - done, m_position);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("read");
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
        m_position += n;
    }
    return done;
}

void TFileStream::Write(const void* data, std::size_t length) {
    const auto* in = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(m_fd, in + done, length - done, m_position);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail("write");
        }
        if (n == 0) {
            errno = ENOSPC;
            Fail("write");
        }
        done += static_cast<std::size_t>(n);
        m_position += n;
    }
    m_size = std::max(m_size, m_position);
    m_unflushed += static_cast<std::int64_t>(length);
    if (m_unflushed >= WritebackChunkBytes) {
        // Ask the kernel to start writing back what is dirty; this does not wait.
        ::sync_file_range(m_fd, m_flushedUpTo, m_size - m_flushedUpTo, SYNC_FILE_RANGE_WRITE);
        m_flushedUpTo = m_size;
        m_unflushed = 0;
    }
}

void TFileStream::Truncate(std::int64_t size) {
    size = std::max<std::int64_t>(size, 0);
    if (::ftruncate(m_fd, size) != 0)
        Fail("truncate");
    m_size = size;
    m_flushedUpTo = std::min(m_flushedUpTo, size);
}

void TFileStream::Commit() {
    if (::fdatasync(m_fd) != 0 && errno != EINVAL)
        Fail("sync");
    if (m_folderFd < 0)
        return;
    struct stat own {};
    struct stat entry {};
    const bool linked = ::fstat(m_fd, &own) == 0 && own.st_nlink > 0 &&
                        ::fstatat(m_folderFd, m_entry.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
                        entry.st_dev == own.st_dev && entry.st_ino == own.st_ino;
    if (!linked) {
        m_failure = "ファイルが保存先から削除または移動されました";
        throw TStreamError(m_path + ": " + m_failure);
    }
}

}  // namespace fwp
