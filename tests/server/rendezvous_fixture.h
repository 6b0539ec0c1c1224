#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "connect/easy_service.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"

namespace fwp::test {

// The second loopback address, for a client that must come from elsewhere.
constexpr const char* OtherLoopback = "127.0.0.2";

// True when this machine has the IPv6 loopback address ::1.
bool HaveIPv6Loopback();

// A listener on a free loopback port that accepts one connection and sends
// it greeting, as a peer's listener would, then holds it until the object
// goes. With holdGreeting it sends nothing until SendGreeting.
class TGreetingListener {
public:
    TGreetingListener(std::string greeting, const std::string& address = "127.0.0.1",
                      bool holdGreeting = false);
    ~TGreetingListener();
    TGreetingListener(const TGreetingListener&) = delete;
    TGreetingListener& operator=(const TGreetingListener&) = delete;

    int Port() const { return m_port; }
    void SendGreeting();

private:
    void Serve();

    std::string m_greeting;
    int m_listener = -1;
    int m_port = 0;
    int m_wake[2] = {-1, -1};  // SendGreeting and the end write here
    std::thread m_thread;
};

// The path of a program in PATH, or nothing.
std::optional<std::string> FindInPath(const std::string& program);

// A redis-server of the test's own on a free 127.0.0.1 port: no persistence,
// its folder and log in a sandbox, ended (by its process id) with the object.
class TRedisServer {
public:
    // On port, or on a free port for 0. Throws std::runtime_error when it
    // does not come up.
    explicit TRedisServer(const std::string& program, int port = 0);
    ~TRedisServer();
    TRedisServer(const TRedisServer&) = delete;
    TRedisServer& operator=(const TRedisServer&) = delete;

    int Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Sends one command with its own connection; the reply as text (an
    // integer in decimal, an error with "ERR"...); nothing when unreachable.
    std::optional<std::string> Command(const std::vector<std::string>& args) const;
    // Ends the server now, as a crash or a restart would.
    void Kill();

private:
    TSandbox m_box;
    int m_port = 0;
    std::unique_ptr<TProcess> m_process;
};

// fwpost-rendezvous started by the test on a free 127.0.0.1 port (or where
// a --listen in args says), its log read from standard output.
class TRendezvousProcess {
public:
    // beforeExec runs in the child before the program starts (limits, ...).
    explicit TRendezvousProcess(std::vector<std::string> args, std::function<void()> beforeExec = nullptr);

    // False when it did not print its "listening" line.
    bool Started() const { return m_port != 0; }
    int Port() const { return m_port; }
    std::string URL(const std::string& path = "/easy.cgi") const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    // The program's own client, connecting from the given loopback address.
    TEasyServiceClient Client(const std::string& from = "127.0.0.1") const;
    // Log lines printed so far (reads what is waiting, so the pipe never fills).
    std::vector<std::string> LogLines();
    TProcess& Process() { return *m_process; }

private:
    std::unique_ptr<TProcess> m_process;
    int m_port = 0;
};

// One HTTP exchange written by hand, for what the client cannot send (a
// header of our own, a malformed query) or to see the status.
struct TRawReply {
    int Status = 0;
    std::string Headers;
    std::string Body;
};
// GET target (sent byte for byte) to 127.0.0.1:port from the local address
// from, with extra header lines ("Name: value\r\n" each); to [::1]:port when
// from is an IPv6 address. Connecting and each read may take up to limit; a
// reply that does not come is status 0.
TRawReply RawGet(int port, const std::string& target, const std::string& extraHeaders = "",
                 const std::string& from = "127.0.0.1", std::chrono::seconds limit = 20s);

// Sends request (any bytes, in one write) to 127.0.0.1:port and returns all
// that comes back until the service closes the connection (20 s at most).
std::string RawExchange(int port, const std::string& request);

// TCP connections to 127.0.0.1:port from the local address from that send
// nothing, as a client that connects and then stalls. Closed with the object.
class TIdleConnections {
public:
    TIdleConnections(int port, int count, const std::string& from = "127.0.0.1");
    ~TIdleConnections();
    TIdleConnections(const TIdleConnections&) = delete;
    TIdleConnections& operator=(const TIdleConnections&) = delete;

    // True once every connection has been set up by the kernel (20 s at most).
    bool Established();
    // True once the service has closed every connection (limit at most).
    bool AllClosedByTheService(std::chrono::milliseconds limit);
    int Socket(int index) const { return m_sockets.at(static_cast<std::size_t>(index)); }

private:
    std::vector<int> m_sockets;
};

}  // namespace fwp::test
