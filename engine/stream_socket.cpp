#include "engine/stream_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace fwp {
namespace {

constexpr std::size_t ReceiveChunkBytes = 256 * 1024;
// Plain bytes sealed per send through a transform.
constexpr std::size_t SealSliceBytes = 256 * 1024;
// When a name gives several addresses, each but the last gets at most this
// long, so that an address that drops the attempt does not use up the wait.
constexpr int PerAddressConnectMs = 3000;
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

int LocalPortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// The address as text: dotted for IPv4, also when it reached an IPv6 socket
// as a mapped address, so an IPv4 peer looks the same either way.
std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const in6_addr& raw = reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&raw))
            ::inet_ntop(AF_INET, &raw.s6_addr[12], text, sizeof text);
        else
            ::inet_ntop(AF_INET6, &raw, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    }
    return text;
}

int PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
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

std::unique_ptr<TStreamSocket> TStreamSocket::Connect(const std::string& host, int port, int timeoutMs) {
    if (port <= 0 || port > 65535 || host.empty())
        return nullptr;
    // An IPv6 literal may come in brackets, as in URLs.
    std::string name = host;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return nullptr;
    std::vector<const addrinfo*> addresses;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next)
        addresses.push_back(entry);

    const std::uint64_t deadline = NowMs() + static_cast<std::uint64_t>(std::max(timeoutMs, 0));
    std::unique_ptr<TStreamSocket> connection;
    for (std::size_t i = 0; i < addresses.size() && !connection; ++i) {
        const std::uint64_t now = NowMs();
        if (now >= deadline && i > 0)
            break;
        int wait = static_cast<int>(deadline > now ? deadline - now : 0);
        if (i + 1 < addresses.size())
            wait = std::min(wait, PerAddressConnectMs);
        const addrinfo& address = *addresses[i];
        const int fd = ::socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        bool connected = ::connect(fd, address.ai_addr, address.ai_addrlen) == 0;
        if (!connected && errno == EINPROGRESS &&
            (PollOne(fd, POLLOUT, wait) & (POLLOUT | POLLERR | POLLHUP))) {
            int error = 0;
            socklen_t length = sizeof error;
            connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
        if (!connected) {
            ::close(fd);
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw =
            address.ai_family == AF_INET6
                ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(address.ai_addr)->sin6_addr)
                : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(address.ai_addr)->sin_addr);
        ::inet_ntop(address.ai_family, raw, text, sizeof text);
        connection = std::make_unique<TStreamSocket>(fd, text, port);
    }
    ::freeaddrinfo(found);
    return connection;
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
    return m_fd < 0 ? 0 : LocalPortOf(m_fd);
}

bool TStreamSocket::IsIPv6() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.ss_family != AF_INET6)
        return false;
    return !IN6_IS_ADDR_V4MAPPED(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
}

std::string TStreamSocket::LocalAddress() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    return AddressText(address);
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
    if (m_transform)
        return ReceiveThroughTransform();
    Compact(ReceiveChunkBytes);
    std::size_t got = 0;
    const TReadStatus status = ReceiveWithoutWaiting(m_buffer.data() + m_end, m_buffer.size() - m_end, got);
    m_end += got;
    return status;
}

TReadStatus TStreamSocket::ReceiveWire() {
    // The unopened rest of a unit moves to the front only when the room
    // behind it runs short, not after every read.
    if (m_wireIn.size() - m_wireInBegin - m_wireInUsed < ReceiveChunkBytes) {
        std::memmove(m_wireIn.data(), m_wireIn.data() + m_wireInBegin, m_wireInUsed);
        m_wireInBegin = 0;
        if (m_wireIn.size() < m_wireInUsed + ReceiveChunkBytes)
            m_wireIn.resize(std::max(m_wireInUsed + ReceiveChunkBytes, 4 * ReceiveChunkBytes));
    }
    std::size_t got = 0;
    const TReadStatus status =
        ReceiveWithoutWaiting(m_wireIn.data() + m_wireInBegin + m_wireInUsed, ReceiveChunkBytes, got);
    m_wireInUsed += got;
    return status;
}

TReadStatus TStreamSocket::ReceiveThroughTransform() {
    const TReadStatus status = ReceiveWire();
    if (status != TReadStatus::rsOk)
        return status;
    return OpenReceived();
}

TReadStatus TStreamSocket::OpenReceived() {
    // What opens is never longer than what came in.
    Compact(m_wireInUsed);
    std::size_t produced = 0;
    const TReadStatus status = OpenWire(m_buffer.data() + m_end, m_buffer.size() - m_end, produced);
    m_end += produced;
    return status;
}

TReadStatus TStreamSocket::OpenWire(char* out, std::size_t capacity, std::size_t& produced) {
    std::size_t consumed = 0;
    const bool intact =
        m_transform->Open(m_wireIn.data() + m_wireInBegin, m_wireInUsed, consumed, out, capacity, produced);
    m_wireInUsed -= consumed;
    m_wireInBegin = m_wireInUsed == 0 ? 0 : m_wireInBegin + consumed;
    if (!intact) {
        // Nothing after a corrupt unit can be trusted: the connection ends here.
        m_broken = true;
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        return TReadStatus::rsClosed;
    }
    return produced > 0 ? TReadStatus::rsOk : TReadStatus::rsWouldBlock;
}

void TStreamSocket::SetTransform(std::unique_ptr<TStreamTransform> transform) {
    m_transform = std::move(transform);
    // What the peer sent right behind the last line read is already its
    // transformed stream: it goes back through the transform.
    m_wireIn.assign(m_buffer.begin() + static_cast<std::ptrdiff_t>(m_begin),
                    m_buffer.begin() + static_cast<std::ptrdiff_t>(m_end));
    m_wireInBegin = 0;
    m_wireInUsed = m_wireIn.size();
    DiscardBuffered();
    if (m_wireInUsed > 0)
        OpenReceived();
}

bool TStreamSocket::Send(std::initializer_list<std::string_view> pieces) {
    if (!m_transform)
        return SendWire(pieces);
    if (m_fd < 0 || m_broken)
        return false;
    // A slice at a time: its sealed bytes are still in the processor's cache
    // when the kernel copies them, and the wire buffer stays small.
    std::string_view slice[8];
    std::size_t count = 0;
    std::size_t sliceBytes = 0;
    const auto sendSlice = [&] {
        const std::size_t wireBytes = m_transform->SealedSize(sliceBytes);
        if (m_wireOutSize < wireBytes) {
            m_wireOut = std::make_unique_for_overwrite<char[]>(wireBytes);
            m_wireOutSize = wireBytes;
        }
        m_transform->Seal(std::span(slice, count), m_wireOut.get());
        count = 0;
        sliceBytes = 0;
        return SendWire({std::string_view(m_wireOut.get(), wireBytes)});
    };
    for (std::string_view piece : pieces) {
        while (!piece.empty()) {
            const std::size_t take = std::min(piece.size(), SealSliceBytes - sliceBytes);
            slice[count++] = piece.substr(0, take);
            sliceBytes += take;
            piece.remove_prefix(take);
            if ((sliceBytes == SealSliceBytes || count == std::size(slice)) && !sendSlice())
                return false;
        }
    }
    return sliceBytes == 0 || sendSlice();
}

bool TStreamSocket::SendWire(std::initializer_list<std::string_view> pieces) {
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
    if (m_transform) {
        // Through a transform the bytes may not yet complete a unit: wait on for the rest.
        const std::uint64_t start = NowMs();
        while (m_fd >= 0 && !m_broken) {
            int left = timeoutMs;
            if (timeoutMs > 0) {
                const std::uint64_t waited = NowMs() - start;
                left = waited >= static_cast<std::uint64_t>(timeoutMs) ? 0
                                                                       : timeoutMs - static_cast<int>(waited);
            }
            if (!(PollOne(m_fd, POLLIN, left) & (POLLIN | POLLHUP | POLLERR)))
                return false;
            const TReadStatus status = ReceiveIntoBuffer();
            if (status != TReadStatus::rsWouldBlock || left == 0)
                return status == TReadStatus::rsOk;
        }
        return false;
    }
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
    if (Buffered() == 0 && m_transform) {
        // Units that fit open straight into the caller's buffer, without a
        // pass through ours; a bigger one goes through ours.
        const TReadStatus status = ReceiveWire();
        if (OpenWire(static_cast<char*>(buffer), length, got) == TReadStatus::rsOk) {
            // Whole units that did not fit wait in the receive buffer, where
            // the next line read or wait for data finds them.
            if (m_wireInUsed > 0)
                OpenReceived();
            return TReadStatus::rsOk;
        }
        if (!m_broken)
            OpenReceived();
        if (Buffered() == 0)
            return m_broken ? TReadStatus::rsClosed
                            : (status == TReadStatus::rsOk ? TReadStatus::rsWouldBlock : status);
    }
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

namespace {

// A socket listening on every address of one family; -1 when it cannot be made.
int ListeningSocket(int family, int port, int backlog) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        // IPv4 peers arrive on the same socket as mapped addresses.
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_any;
        in6.sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(INADDR_ANY);
        in4.sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof in4;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::unique_ptr<TServerSocket> TServerSocket::Listen(int port, int backlog) {
    if (port < 0 || port > 65535)
        return nullptr;
    // Both families on one socket; IPv4 alone where the system has no IPv6.
    int fd = ListeningSocket(AF_INET6, port, backlog);
    if (fd < 0 && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL))
        fd = ListeningSocket(AF_INET, port, backlog);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<TServerSocket>(new TServerSocket(fd));
}

TServerSocket::~TServerSocket() {
    ::close(m_fd);
}

int TServerSocket::LocalPort() const {
    return LocalPortOf(m_fd);
}

std::unique_ptr<TStreamSocket> TServerSocket::Accept(int timeoutMs) {
    const short events = PollOne(m_fd, POLLIN, timeoutMs);
    if (!(events & POLLIN) || (events & (POLLERR | POLLNVAL)))
        return nullptr;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::make_unique<TStreamSocket>(fd, AddressText(peer), PortOf(peer));
}

}  // namespace fwp
