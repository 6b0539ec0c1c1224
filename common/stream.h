#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace fwp {

// A byte stream with a position, the data of a transfer task. Failures throw
// TStreamError; a read at the end returns fewer bytes than asked.
class TStream {
public:
    virtual ~TStream() = default;
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;

    virtual std::int64_t Size() const = 0;
    virtual std::int64_t Position() const = 0;
    virtual void Seek(std::int64_t position) = 0;  // absolute; may go past the end
    virtual std::size_t Read(void* buffer, std::size_t length) = 0;
    virtual void Write(const void* data, std::size_t length) = 0;  // all bytes or an error
    virtual void Truncate(std::int64_t size) = 0;                  // position is kept unless beyond
    // Makes every written byte durable; a stream in memory has nothing to do.
    virtual void Commit() {}
};

// A stream held in memory: instant messages, plug-in texts and buffers.
class TMemoryStream final : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string data) : m_data(std::move(data)) {}

    std::int64_t Size() const override { return static_cast<std::int64_t>(m_data.size()); }
    std::int64_t Position() const override { return m_position; }
    void Seek(std::int64_t position) override;
    std::size_t Read(void* buffer, std::size_t length) override;
    void Write(const void* data, std::size_t length) override;
    void Truncate(std::int64_t size) override;

    const std::string& Data() const { return m_data; }

private:
    std::string m_data;
    std::int64_t m_position = 0;
};

// How a file is opened. Receive files are locked against a second writer in
// this program, send files against a writer while they are read.
enum class TFileOpenMode : std::uint8_t {
    fmRead,       // existing file, read only, shared lock
    fmResume,     // existing file, write only, exclusive lock, position 0
    fmCreate,     // new or emptied file, read and write, exclusive lock
    fmCreateNew,  // a file that must not exist yet, read and write, exclusive lock
};

// The reason for a failed system call, as the user reads it.
std::string SystemErrorText(int error);

// A stream over a file descriptor. It keeps its own position and size (it
// assumes to be the only writer, which the lock guards within this program),
// so the data path makes one system call per read or write.
class TFileStream final : public TStream {
public:
    // Opens path; throws TStreamError with the system's reason.
    static std::unique_ptr<TFileStream> Open(const std::string& path, TFileOpenMode mode);
    // Opens name inside the directory dirFd without following a symbolic link
    // in its last component, and refuses anything but a plain file with one link,
    // so a link planted there cannot redirect the write. Nothing opens without
    // a plain file behind it: a pipe or a device is refused, never waited on.
    static std::unique_ptr<TFileStream> OpenIn(int dirFd, const std::string& name, TFileOpenMode mode);
    ~TFileStream() override;

    std::int64_t Size() const override { return m_size; }
    std::int64_t Position() const override { return m_position; }
    void Seek(std::int64_t position) override;
    std::size_t Read(void* buffer, std::size_t length) override;
    void Write(const void* data, std::size_t length) override;
    void Truncate(std::int64_t size) override;
    // Besides syncing, a file opened for writing must still be in its folder
    // under its name: bytes written to a file deleted or moved meanwhile are lost.
    void Commit() override;

    const std::string& Path() const { return m_path; }
    int Fd() const { return m_fd; }
    // The folder a file opened for writing lies in (-1 for one opened to read)
    // and its name there.
    int FolderFd() const { return m_folderFd; }
    const std::string& EntryName() const { return m_entry; }
    // Why the last operation failed, for the user; empty while none did.
    const std::string& Failure() const { return m_failure; }

private:
    TFileStream(int fd, std::string path);
    static std::unique_ptr<TFileStream> Adopt(int fd, const std::string& path, TFileOpenMode mode,
                                              bool refuseLinks);
    [[noreturn]] void Fail(const char* what);
    void KeepFolder(int dirFd, const std::string& name);

    int m_fd;
    std::string m_path;
    int m_folderFd = -1;
    std::string m_entry;
    std::string m_failure;
    std::int64_t m_position = 0;
    std::int64_t m_size = 0;
    std::int64_t m_unflushed = 0;    // bytes written since the last writeback was started
    std::int64_t m_flushedUpTo = 0;  // writeback has been started for bytes before this offset
};

}  // namespace fwp
