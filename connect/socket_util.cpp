#include "connect/socket_util.h"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fwp::net {
namespace {

using Clock = std::chrono::steady_clock;

int PollMs(std::chrono::milliseconds wait) {
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(wait.count(), 0, 24 * 3600 * 1000));
}

// Polls one descriptor, going on after signals until wait is used up.
bool WaitFor(int fd, short events, std::chrono::milliseconds wait) {
    const Clock::time_point deadline = Clock::now() + wait;
    for (;;) {
        pollfd entry{fd, events, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int ready = ::poll(&entry, 1, PollMs(left));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

bool SetNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    return ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

}  // namespace

TFd& TFd::operator=(TFd&& other) noexcept {
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int TFd::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void TFd::Reset(int fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

std::vector<TLocalAddress> LocalIPv4Addresses() {
    std::vector<TLocalAddress> addresses;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP))
            continue;
        TLocalAddress local;
        local.Address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        local.Loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        local.Multicast = (entry->ifa_flags & IFF_MULTICAST) != 0;
        addresses.push_back(local);
    }
    ::freeifaddrs(list);
    return addresses;
}

std::string DottedAddress(in_addr address) {
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address, text, sizeof text))
        return {};
    return text;
}

bool WaitReadable(int fd, std::chrono::milliseconds wait) {
    return WaitFor(fd, POLLIN, wait);
}

TFd ConnectTcp(const std::string& host, std::uint16_t port, std::chrono::milliseconds wait) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return {};
    TFd connected;
    for (const addrinfo* entry = found; entry && !connected.Valid(); entry = entry->ai_next) {
        TFd fd(::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol));
        if (!fd.Valid() || !SetNonBlocking(fd.Get(), true))
            continue;
        // Connect without blocking, so that an address that drops the
        // attempt costs at most wait.
        if (::connect(fd.Get(), entry->ai_addr, entry->ai_addrlen) != 0) {
            if (errno != EINPROGRESS || !WaitFor(fd.Get(), POLLOUT, wait))
                continue;
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
                continue;
        }
        if (SetNonBlocking(fd.Get(), false))
            connected = std::move(fd);
    }
    ::freeaddrinfo(found);
    return connected;
}

bool SendAll(int fd, std::string_view data, std::chrono::milliseconds wait) {
    while (!data.empty()) {
        if (!WaitFor(fd, POLLOUT, wait))
            return false;
        const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

TReadResult TLineReader::ReadLine(std::string& line, std::size_t& consumed, std::size_t limit) {
    const auto take = [&](std::size_t length, std::size_t used) {
        line.assign(m_buffer, 0, length);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        consumed = used;
        m_buffer.erase(0, used);
        return TReadResult::rrLine;
    };
    for (;;) {
        if (m_overflow)
            return TReadResult::rrOverflow;
        const std::size_t window = std::min(m_buffer.size(), limit);
        const std::size_t lineFeed = std::string_view(m_buffer).substr(0, window).find('\n');
        if (lineFeed != std::string_view::npos)
            return take(lineFeed, lineFeed + 1);
        if (m_buffer.size() >= limit)
            return take(limit, limit);
        if (!Receive()) {
            if (m_overflow)
                return TReadResult::rrOverflow;
            if (m_buffer.empty())
                return TReadResult::rrEnd;
            return take(m_buffer.size(), m_buffer.size());
        }
    }
}

bool TLineReader::Receive() {
    if (m_ended)
        return false;
    const Clock::time_point now = Clock::now();
    if (now >= m_deadline) {
        m_ended = true;
        return false;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - now);
    if (!WaitReadable(m_fd, std::min(m_wait, left))) {
        m_ended = true;
        return false;
    }
    char chunk[4096];
    ssize_t got = 0;
    do {
        got = ::recv(m_fd, chunk, sizeof chunk, 0);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        m_ended = true;
        return false;
    }
    m_received += static_cast<std::size_t>(got);
    if (m_received > m_maxBytes) {
        m_overflow = true;
        return false;
    }
    m_buffer.append(chunk, static_cast<std::size_t>(got));
    return true;
}

}  // namespace fwp::net
