#include "tests/server/rendezvous_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <hiredis/hiredis.h>

namespace fwp::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto StartLimit = 20s;

sockaddr_in Address(const std::string& ip, int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr);
    return address;
}

// A port that was free a moment ago. Another program may take it before
// redis-server does; the caller then tries again.
int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Address("127.0.0.1", 0);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

struct TContextFree {
    void operator()(redisContext* context) const { redisFree(context); }
};

}  // namespace

std::optional<std::string> FindInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    folders += ":/usr/sbin:/sbin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

TRedisServer::TRedisServer(const std::string& program, int port) {
    for (int attempt = 0; attempt < 5 && !m_process; ++attempt) {
        m_port = port != 0 ? port : FreeLoopbackPort();
        // Nothing is written to disk, and the log goes to a file so that no
        // pipe can fill up.
        std::string settings = "bind 127.0.0.1\n";
        settings += "port " + std::to_string(m_port) + "\n";
        settings += "save \"\"\nappendonly no\ndaemonize no\nprotected-mode yes\n";
        settings += "dir " + m_box.Root().string() + "\n";
        settings += "logfile " + m_box.Path("redis.log").string() + "\n";
        const std::string config = m_box.WriteFile("redis.conf", settings).string();
        auto process =
            std::make_unique<TProcess>(program, std::vector<std::string>{config}, m_box.Root().string());
        const auto deadline = Clock::now() + StartLimit;
        while (Clock::now() < deadline) {
            if (Command({"PING"}) == "PONG") {
                m_process = std::move(process);
                break;
            }
            if (process->Wait(0ms))
                break;  // it ended: most likely the port was taken meanwhile
            std::this_thread::sleep_for(20ms);
        }
    }
    if (!m_process)
        throw std::runtime_error("redis-server did not start; see its log in " + m_box.Root().string());
}

TRedisServer::~TRedisServer() {
    if (m_process) {
        m_process->Signal(SIGTERM);
        m_process->Wait(10s);
    }
}

void TRedisServer::Kill() {
    if (m_process) {
        m_process->Signal(SIGKILL);
        m_process->Wait(10s);
    }
}

std::optional<std::string> TRedisServer::Command(const std::vector<std::string>& args) const {
    const std::unique_ptr<redisContext, TContextFree> context(
        redisConnectWithTimeout("127.0.0.1", m_port, timeval{2, 0}));
    if (!context || context->err)
        return std::nullopt;
    redisSetTimeout(context.get(), timeval{5, 0});
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& arg : args) {
        argv.push_back(arg.data());
        lengths.push_back(arg.size());
    }
    auto* reply = static_cast<redisReply*>(
        redisCommandArgv(context.get(), static_cast<int>(args.size()), argv.data(), lengths.data()));
    if (!reply)
        return std::nullopt;
    std::string text;
    if (reply->type == REDIS_REPLY_INTEGER)
        text = std::to_string(reply->integer);
    else if (reply->str)
        text.assign(reply->str, reply->len);
    freeReplyObject(reply);
    return text;
}

TRendezvousProcess::TRendezvousProcess(std::vector<std::string> args, std::function<void()> beforeExec) {
    args.insert(args.begin(), {"--listen", "127.0.0.1:0"});
    m_process = std::make_unique<TProcess>(BinaryPath("fwpost-rendezvous"), args, "", std::move(beforeExec));
    const auto line = m_process->WaitForLine("listening ", StartLimit);
    if (line) {
        // "listening 127.0.0.1:PORT /path" or "listening [::1]:PORT /path"
        const std::size_t colon = line->rfind(':', line->find(' ', 10));
        m_port = std::atoi(line->c_str() + colon + 1);
    }
}

TEasyServiceClient TRendezvousProcess::Client(const std::string& from) const {
    THttpLimits limits;
    limits.OpenLimit = 20s;
    limits.ReadLimit = 20s;
    limits.LocalAddress = from;
    return TEasyServiceClient(URL(), limits);
}

std::vector<std::string> TRendezvousProcess::LogLines() {
    while (m_process->ReadLine(0ms)) {
    }
    return m_process->Lines();
}

TRawReply RawGet(int port, const std::string& target, const std::string& extraHeaders,
                 const std::string& from, std::chrono::seconds limit) {
    TRawReply reply;
    const bool ipv6 = from.find(':') != std::string::npos;
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval socketLimit{static_cast<time_t>(limit.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &socketLimit, sizeof socketLimit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &socketLimit, sizeof socketLimit);  // also bounds connect
    sockaddr_storage local{};
    sockaddr_storage remote{};
    socklen_t size = 0;
    if (ipv6) {
        auto& local6 = reinterpret_cast<sockaddr_in6&>(local);
        auto& remote6 = reinterpret_cast<sockaddr_in6&>(remote);
        local6.sin6_family = remote6.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, from.c_str(), &local6.sin6_addr);
        remote6.sin6_addr = in6addr_loopback;
        remote6.sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof(sockaddr_in6);
    } else {
        reinterpret_cast<sockaddr_in&>(local) = Address(from, 0);
        reinterpret_cast<sockaddr_in&>(remote) = Address("127.0.0.1", port);
        size = sizeof(sockaddr_in);
    }
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + extraHeaders + "\r\n";
    std::string received;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), size) == 0 &&
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), size) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::size_t headersEnd = received.find("\r\n\r\n");
    if (!received.starts_with("HTTP/1.1 ") || headersEnd == std::string::npos)
        return reply;
    reply.Status = std::atoi(received.c_str() + 9);
    reply.Headers = received.substr(0, headersEnd + 2);
    reply.Body = received.substr(headersEnd + 4);
    return reply;
}

bool HaveIPv6Loopback() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound;
}

TGreetingListener::TGreetingListener(std::string greeting, const std::string& address, bool holdGreeting)
    : m_greeting(std::move(greeting)) {
    const bool ipv6 = address.find(':') != std::string::npos;
    m_listener = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage bound{};
    socklen_t size = ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (ipv6) {
        auto& bound6 = reinterpret_cast<sockaddr_in6&>(bound);
        bound6.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address.c_str(), &bound6.sin6_addr);
    } else {
        reinterpret_cast<sockaddr_in&>(bound) = Address(address, 0);
    }
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&bound), size) != 0 || ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
        throw std::runtime_error("cannot listen on " + address);
    m_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                        : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    if (::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    if (!holdGreeting)
        SendGreeting();
    m_thread = std::thread([this] { Serve(); });
}

TGreetingListener::~TGreetingListener() {
    ::close(m_wake[1]);  // the end: the reading side sees end of file
    m_thread.join();
    ::close(m_wake[0]);
    ::close(m_listener);
}

void TGreetingListener::SendGreeting() {
    const char go = 'g';
    [[maybe_unused]] const ssize_t written = ::write(m_wake[1], &go, 1);
}

void TGreetingListener::Serve() {
    pollfd waiting[2] = {{m_listener, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    int connection = -1;
    bool greet = false;
    for (;;) {
        if (::poll(waiting, 2, -1) < 0)
            break;
        if (waiting[0].revents & POLLIN) {
            connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            waiting[0].fd = -1;  // one connection is all
        }
        if (waiting[1].revents & (POLLIN | POLLHUP)) {
            char byte = 0;
            if (::read(m_wake[0], &byte, 1) <= 0)
                break;
            greet = true;
        }
        if (greet && connection >= 0) {
            ::send(connection, m_greeting.data(), m_greeting.size(), MSG_NOSIGNAL);
            greet = false;
            m_greeting.clear();
        }
    }
    if (connection >= 0)
        ::close(connection);
}

std::string RawExchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval readLimit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &readLimit, sizeof readLimit);
    sockaddr_in remote = Address("127.0.0.1", port);
    std::string received;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            received.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return received;
}

TIdleConnections::TIdleConnections(int port, int count, const std::string& from) {
    // Connecting without waiting: a service that stops accepting must not
    // stall the test here.
    sockaddr_in local = Address(from, 0);
    sockaddr_in remote = Address("127.0.0.1", port);
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            break;
        m_sockets.push_back(fd);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
            ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote);
    }
}

TIdleConnections::~TIdleConnections() {
    for (const int fd : m_sockets)
        ::close(fd);
}

bool TIdleConnections::Established() {
    const auto deadline = Clock::now() + 20s;
    for (const int fd : m_sockets) {
        pollfd entry{fd, POLLOUT, 0};
        while (::poll(&entry, 1, 100) == 0)
            if (Clock::now() > deadline)
                return false;
    }
    return true;
}

bool TIdleConnections::AllClosedByTheService(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (const int fd : m_sockets) {
        for (;;) {
            char byte = 0;
            const ssize_t n = ::recv(fd, &byte, 1, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                break;  // closed (or reset) by the other side
            if (Clock::now() > deadline)
                return false;
            pollfd entry{fd, POLLIN, 0};
            ::poll(&entry, 1, 100);
        }
    }
    return true;
}

}  // namespace fwp::test
