#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <sys/socket.h>

#include "tests/support/loopback.h"

namespace fwp::test {

// Waits for fd to become readable; false when stopFd becomes readable first,
// after patience of silence (never with Forever), or on error.
constexpr std::chrono::milliseconds Forever{-1};
bool WaitReadable(int fd, int stopFd, std::chrono::milliseconds patience);

// One accepted connection as the server's handler sees it. Every wait also
// ends when the server stops, and after Patience of silence, so a test that
// goes wrong fails instead of hanging.
class TServerConnection {
public:
    static constexpr std::chrono::seconds Patience{30};

    TServerConnection(int fd, int stopFd) : m_fd(fd), m_stopFd(stopFd) {}

    // Everything received so far.
    const std::string& Received() const { return m_received; }
    // Receives more; false once the peer has closed (or on stop or silence).
    bool ReadMore();
    // Receives until complete(Received()) holds; false if the data ends first.
    bool ReadUntil(const std::function<bool(std::string_view)>& complete);
    // Receives until the peer closes the connection.
    void ReadToEnd();
    // Waits up to wait for the peer to close; true when it has (or the server
    // stops). Data that arrives meanwhile is kept.
    bool PeerClosedWithin(std::chrono::milliseconds wait);
    bool Send(std::string_view data);
    // No more data from this side; the peer sees the end of the answer.
    void ShutdownSend();

private:
    int m_fd;
    int m_stopFd;
    std::string m_received;
};

// A TCP server on 127.0.0.1 that takes one connection at a time and hands it
// to the handler on its own thread. The connection is closed when the
// handler returns.
class TLoopbackTcpServer {
public:
    using THandler = std::function<void(TServerConnection&)>;

    explicit TLoopbackTcpServer(THandler handler);
    ~TLoopbackTcpServer();
    TLoopbackTcpServer(const TLoopbackTcpServer&) = delete;
    TLoopbackTcpServer& operator=(const TLoopbackTcpServer&) = delete;

    std::uint16_t Port() const { return m_port; }
    // Returns once every connection made before the call has been handled:
    // it connects once more itself and waits until the server reaches that
    // connection, which the kernel queues behind all earlier ones.
    void Drain();

private:
    void Run();

    THandler m_handler;
    int m_listenFd = -1;
    int m_stopPipe[2] = {-1, -1};
    std::uint16_t m_port = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint16_t m_markerPort = 0;
    int m_markersSeen = 0;
    std::thread m_thread;
};

// A loopback port where nothing listens: the socket is bound, so no one else
// takes the port while the object lives, but a TCP connect to it is refused.
// With SOCK_DGRAM it holds a UDP port instead.
class TClosedPort {
public:
    explicit TClosedPort(int type = SOCK_STREAM);
    ~TClosedPort();
    TClosedPort(const TClosedPort&) = delete;
    TClosedPort& operator=(const TClosedPort&) = delete;

    std::uint16_t Port() const { return m_port; }
    std::string URL(std::string_view path) const;

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

}  // namespace fwp::test
