#include "engine/stream_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace fwp {
namespace {

constexpr std::size_t ReceiveChunkBytes = 256 * 1024;
// The kernel keeps at most this much of our data unsent; beyond it the
// socket is not writable. A message written next then waits behind little
// file data, while the bytes already in flight keep the line busy.
constexpr int UnsentLimitBytes = 128 * 1024;

std::uint64_t NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// poll(2) for one descriptor; the revents, or 0 on timeout.
short PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    while (true) {
        const int n = ::poll(&p, 1, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 ? p.revents : 0;
    }
}

void PrepareConnection(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &UnsentLimitBytes, sizeof UnsentLimitBytes);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

}  // namespace

TStreamSocket::TStreamSocket(int fd, std::string remoteHost, int remotePort)
    : m_fd(fd), m_remoteHost(std::move(remoteHost)), m_remotePort(remotePort) {
    PrepareConnection(fd);
}

TStreamSocket::~TStreamSocket() {
    Disconnect();
}

std::unique_ptr<TStreamSocket> TStreamSocket::Connect(const std::string& dottedHost, int port,
                                                      int timeoutMs) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port <= 0 || port > 65535 || ::inet_pton(AF_INET, dottedHost.c_str(), &address.sin_addr) != 1)
        return nullptr;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINPROGRESS || !(PollOne(fd, POLLOUT, timeoutMs) & (POLLOUT | POLLERR | POLLHUP))) {
            ::close(fd);
            return nullptr;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            ::close(fd);
            return nullptr;
        }
    }
    return std::make_unique<TStreamSocket>(fd, dottedHost, port);
}

void TStreamSocket::Disconnect() {
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        m_fd = -1;
    }
    m_connected = false;
}

int TStreamSocket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

void TStreamSocket::Compact(std::size_t room) {
    if (m_begin == m_end) {
        m_begin = m_end = 0;
    } else if (m_begin > 0 && m_buffer.size() - m_end < room) {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    if (m_buffer.size() - m_end < room)
        m_buffer.resize(m_end + room);
}

TReadStatus TStreamSocket::ReceiveWithoutWaiting(void* buffer, std::size_t length, std::size_t& got) {
    got = 0;
    if (m_fd < 0 || m_broken)
        return TReadStatus::rsClosed;
    while (true) {
        const ssize_t n = ::recv(m_fd, buffer, length, MSG_DONTWAIT);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            m_bytesReceived += got;
            return TReadStatus::rsOk;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return TReadStatus::rsWouldBlock;
        // End of stream, or an error: nothing more will come.
        m_broken = true;
        return TReadStatus::rsClosed;
    }
}

TReadStatus TStreamSocket::ReceiveIntoBuffer() {
    if (m_fd < 0 || m_broken)
        return TReadStatus::rsClosed;
    Compact(ReceiveChunkBytes);
    std::size_t got = 0;
    const TReadStatus status = ReceiveWithoutWaiting(m_buffer.data() + m_end, m_buffer.size() - m_end, got);
    m_end += got;
    return status;
}

bool TStreamSocket::Send(std::initializer_list<std::string_view> pieces) {
    if (m_fd < 0 || m_broken)
        return false;
    iovec vectors[8];
    std::size_t count = 0;
    for (const auto piece : pieces)
        if (!piece.empty() && count < std::size(vectors))
            vectors[count++] = {const_cast<char*>(piece.data()), piece.size()};
    std::size_t first = 0;
    std::uint64_t lastProgress = NowMs();
    while (first < count) {
        msghdr message{};
        message.msg_iov = vectors + first;
        message.msg_iovlen = count - first;
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_bytesSent += static_cast<std::uint64_t>(n);
            lastProgress = NowMs();
            auto left = static_cast<std::size_t>(n);
            while (first < count && left >= vectors[first].iov_len)
                left -= vectors[first++].iov_len;
            if (first < count) {
                vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
                vectors[first].iov_len -= left;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_broken = true;
            return false;
        }
        // The peer is not taking our bytes. Take its bytes meanwhile, so that
        // its own send can finish and it comes round to reading ours.
        const bool mayRead = Buffered() < MaxReadAheadBytes;
        const short events = PollOne(m_fd, static_cast<short>(POLLOUT | (mayRead ? POLLIN : 0)), 100);
        if ((events & POLLIN) && mayRead) {
            if (ReceiveIntoBuffer() == TReadStatus::rsOk)
                lastProgress = NowMs();
        }
        if (events & (POLLERR | POLLNVAL)) {
            m_broken = true;
            return false;
        }
        if (NowMs() - lastProgress > static_cast<std::uint64_t>(m_sendStallMs)) {
            m_broken = true;
            return false;
        }
    }
    return true;
}

int TStreamSocket::SendLine(std::string_view text, std::string_view terminator) {
    return Send({text, terminator}) ? static_cast<int>(text.size() + terminator.size()) : 0;
}

bool TStreamSocket::SendBuf(const void* data, std::size_t length) {
    return Send({std::string_view(static_cast<const char*>(data), length)});
}

bool TStreamSocket::WaitForData(int timeoutMs) {
    if (Buffered() > 0)
        return true;
    if (m_fd < 0 || m_broken)
        return false;
    const short events = PollOne(m_fd, POLLIN, timeoutMs);
    if (!(events & (POLLIN | POLLHUP | POLLERR)))
        return false;
    return ReceiveIntoBuffer() == TReadStatus::rsOk;
}

bool TStreamSocket::WaitReadable(int timeoutMs) {
    if (Buffered() > 0)
        return true;
    if (m_fd < 0 || m_broken)
        return false;
    return PollOne(m_fd, POLLIN, timeoutMs) & (POLLIN | POLLHUP | POLLERR);
}

bool TStreamSocket::WaitForWrite(int timeoutMs) {
    if (m_fd < 0)
        return false;
    const short events = PollOne(m_fd, POLLOUT, timeoutMs);
    return (events & POLLOUT) && !(events & (POLLERR | POLLNVAL));
}

std::size_t TStreamSocket::FindLineEnd() {
    const char* data = m_buffer.data() + m_begin;
    const std::size_t size = Buffered();
    // A CR at the end may be followed by its LF in the next read: rescan it.
    std::size_t from = m_scanned > 0 ? m_scanned - 1 : 0;
    while (from + 1 < size) {
        const void* cr = std::memchr(data + from, '\r', size - from - 1);
        if (!cr)
            break;
        const auto at = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
        if (data[at + 1] == '\n')
            return at;
        from = at + 1;
    }
    m_scanned = size;
    return std::string::npos;
}

TReadStatus TStreamSocket::PeekLine(std::string& line, std::size_t maxLength) {
    const std::size_t at = FindLineEnd();
    if (at != std::string::npos && at <= maxLength) {
        line.assign(m_buffer.data() + m_begin, at);
        return TReadStatus::rsOk;
    }
    if (at != std::string::npos || Buffered() > maxLength)
        return TReadStatus::rsTooLong;
    return (m_fd < 0 || m_broken) ? TReadStatus::rsClosed : TReadStatus::rsWouldBlock;
}

TReadStatus TStreamSocket::TakeLine(std::string& line, std::size_t maxLength) {
    const std::size_t at = FindLineEnd();
    if (at != std::string::npos) {
        const bool fits = at <= maxLength;
        if (fits)
            line.assign(m_buffer.data() + m_begin, at);
        m_begin += at + 2;
        m_scanned = 0;
        return fits ? TReadStatus::rsOk : TReadStatus::rsTooLong;
    }
    if (Buffered() > maxLength) {
        DiscardBuffered();
        return TReadStatus::rsTooLong;
    }
    return (m_fd < 0 || m_broken) ? TReadStatus::rsClosed : TReadStatus::rsWouldBlock;
}

TReadStatus TStreamSocket::Fill(int timeoutMs) {
    if (m_fd < 0 || m_broken)
        return TReadStatus::rsClosed;
    const TReadStatus status = ReceiveIntoBuffer();
    if (status != TReadStatus::rsWouldBlock || timeoutMs == 0)
        return status;
    if (!(PollOne(m_fd, POLLIN, timeoutMs) & (POLLIN | POLLHUP | POLLERR)))
        return TReadStatus::rsWouldBlock;
    return ReceiveIntoBuffer();
}

TReadStatus TStreamSocket::ReadSome(void* buffer, std::size_t length, std::size_t& got) {
    got = 0;
    if (length == 0)
        return TReadStatus::rsOk;
    if (Buffered() > 0) {
        got = std::min(length, Buffered());
        std::memcpy(buffer, m_buffer.data() + m_begin, got);
        m_begin += got;
        m_scanned = 0;
        return TReadStatus::rsOk;
    }
    return ReceiveWithoutWaiting(buffer, length, got);
}

void TStreamSocket::DiscardBuffered() {
    m_begin = m_end = 0;
    m_scanned = 0;
}

int TStreamSocket::PeekBuf(void* buffer, int length) {
    if (length <= 0 || (Buffered() == 0 && Fill(-1) != TReadStatus::rsOk))
        return 0;
    const std::size_t count = std::min(static_cast<std::size_t>(length), Buffered());
    std::memcpy(buffer, m_buffer.data() + m_begin, count);
    return static_cast<int>(count);
}

int TStreamSocket::ReceiveBuf(void* buffer, int length) {
    if (length <= 0)
        return 0;
    std::size_t got = 0;
    while (true) {
        const TReadStatus status = ReadSome(buffer, static_cast<std::size_t>(length), got);
        if (status == TReadStatus::rsOk)
            return static_cast<int>(got);
        if (status == TReadStatus::rsClosed)
            return m_fd < 0 ? -1 : 0;
        PollOne(m_fd, POLLIN, -1);
    }
}

std::string TStreamSocket::ReceiveLine() {
    std::string line;
    while (true) {
        const TReadStatus status = TakeLine(line, SIZE_MAX / 2);
        if (status == TReadStatus::rsOk)
            return line;
        if (Fill(-1) == TReadStatus::rsClosed) {
            line.assign(m_buffer.data() + m_begin, Buffered());
            DiscardBuffered();
            return line;
        }
    }
}

std::unique_ptr<TServerSocket> TServerSocket::Listen(int port, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (port < 0 || port > 65535 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TServerSocket>(new TServerSocket(fd));
}

TServerSocket::~TServerSocket() {
    ::close(m_fd);
}

int TServerSocket::LocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::unique_ptr<TStreamSocket> TServerSocket::Accept(int timeoutMs) {
    const short events = PollOne(m_fd, POLLIN, timeoutMs);
    if (!(events & POLLIN) || (events & (POLLERR | POLLNVAL)))
        return nullptr;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return std::make_unique<TStreamSocket>(fd, text, ntohs(peer.sin_port));
}

}  // namespace fwp
