#include "tests/support/raw_peer.h"

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace fwp::test {
TRawPeer::~TRawPeer() {
    Close();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
}

bool TRawPeer::Connect(int port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

int TRawPeer::Listen() {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = Loopback(0);
    ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(m_listenFd, 5);
    socklen_t length = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

bool TRawPeer::Accept(std::chrono::milliseconds limit) {
    pollfd p{m_listenFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        return false;
    m_fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    return m_fd >= 0;
}

bool TRawPeer::Handshake(std::int32_t bufSize, std::string_view address) {
    SendLines({"Fernwaypost Protocol Version 0.90", address});
    if (!ReadLine() || !ReadLine())
        return false;
    SendLines({std::to_string(bufSize)});
    return ReadLine().has_value();
}

void TRawPeer::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void TRawPeer::SendLines(std::initializer_list<std::string_view> lines) {
    std::string all;
    for (const auto line : lines) {
        all += line;
        all += "\r\n";
    }
    Send(all);
}

bool TRawPeer::FillBuffer(std::chrono::milliseconds limit) {
    if (m_eof || m_fd < 0)
        return false;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_buffer.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::optional<std::string> TRawPeer::ReadLine(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (true) {
        const std::size_t at = m_buffer.find("\r\n");
        if (at != std::string::npos) {
            std::string line = m_buffer.substr(0, at);
            m_buffer.erase(0, at + 2);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !FillBuffer(left))
            return std::nullopt;
    }
}

std::optional<std::string> TRawPeer::ReadBytes(std::size_t count, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (m_buffer.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !FillBuffer(left))
            return std::nullopt;
    }
    std::string bytes = m_buffer.substr(0, count);
    m_buffer.erase(0, count);
    return bytes;
}

bool TRawPeer::ExpectLine(std::string_view line, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const auto got = ReadLine(left);
        if (!got)
            return false;
        if (*got == line)
            return true;
    }
    return false;
}

std::optional<std::string> TRawPeer::WaitForCommand(std::string_view command,
                                                    std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const auto got = ReadLine(left);
        if (!got)
            return std::nullopt;
        if (*got == command)
            return ReadLine(left);
    }
    return std::nullopt;
}

bool TRawPeer::PeerClosed(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!m_eof) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        m_buffer.clear();
        FillBuffer(left);
    }
    return true;
}

void TRawPeer::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace fwp::test
