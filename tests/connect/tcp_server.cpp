#include "tests/connect/tcp_server.h"

#include <cerrno>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace fwp::test {

bool WaitReadable(int fd, int stopFd, std::chrono::milliseconds patience) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(entries, 2, patience.count() < 0 ? -1 : static_cast<int>(patience.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && entries[1].revents == 0 && entries[0].revents != 0;
    }
}

bool TServerConnection::ReadMore() {
    if (!WaitReadable(m_fd, m_stopFd, Patience))
        return false;
    char chunk[4096];
    const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (got <= 0)
        return false;
    m_received.append(chunk, static_cast<std::size_t>(got));
    return true;
}

bool TServerConnection::ReadUntil(const std::function<bool(std::string_view)>& complete) {
    while (!complete(m_received)) {
        if (!ReadMore())
            return false;
    }
    return true;
}

void TServerConnection::ReadToEnd() {
    while (ReadMore()) {
    }
}

bool TServerConnection::PeerClosedWithin(std::chrono::milliseconds wait) {
    pollfd entries[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    const int ready = ::poll(entries, 2, static_cast<int>(wait.count()));
    if (ready <= 0)
        return ready < 0 && errno != EINTR;
    if (entries[1].revents != 0)
        return true;
    char chunk[4096];
    const ssize_t got = ::recv(m_fd, chunk, sizeof chunk, 0);
    if (got <= 0)
        return true;
    m_received.append(chunk, static_cast<std::size_t>(got));
    return false;
}

bool TServerConnection::Send(std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void TServerConnection::ShutdownSend() {
    ::shutdown(m_fd, SHUT_WR);
}

TLoopbackTcpServer::TLoopbackTcpServer(THandler handler) : m_handler(std::move(handler)) {
    m_listenFd = BindLoopback(SOCK_STREAM, m_port);
    if (m_listenFd < 0 || ::listen(m_listenFd, 64) != 0 || ::pipe2(m_stopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot start the loopback TCP server");
    m_thread = std::thread([this] { Run(); });
}

TLoopbackTcpServer::~TLoopbackTcpServer() {
    const char stop = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopPipe[1], &stop, 1);
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_stopPipe[0]);
    ::close(m_stopPipe[1]);
}

void TLoopbackTcpServer::Drain() {
    std::uint16_t markerPort = 0;
    const int fd = BindLoopback(SOCK_STREAM, markerPort);
    ASSERT_GE(fd, 0);
    const sockaddr_in server = Loopback(m_port);
    std::unique_lock lock(m_mutex);
    m_markerPort = markerPort;
    const int seen = m_markersSeen;
    lock.unlock();
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
    lock.lock();
    EXPECT_TRUE(m_changed.wait_for(lock, TServerConnection::Patience, [&] { return m_markersSeen > seen; }))
        << "the server did not reach the marker connection";
    lock.unlock();
    ::close(fd);
}

void TLoopbackTcpServer::Run() {
    while (WaitReadable(m_listenFd, m_stopPipe[0], Forever)) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            const std::lock_guard lock(m_mutex);
            if (m_markerPort != 0 && ntohs(peer.sin_port) == m_markerPort) {
                m_markerPort = 0;
                ++m_markersSeen;
                ::close(fd);
                m_changed.notify_all();
                continue;
            }
        }
        TServerConnection connection(fd, m_stopPipe[0]);
        m_handler(connection);
        ::close(fd);
    }
}

TClosedPort::TClosedPort(int type) {
    m_fd = BindLoopback(type, m_port);
    if (m_fd < 0)
        throw std::runtime_error("cannot reserve a loopback port");
}

TClosedPort::~TClosedPort() {
    ::close(m_fd);
}

std::string TClosedPort::URL(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + std::string(path);
}

}  // namespace fwp::test
