#include "tests/support/proxy.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace fwp::test {
namespace {

using TClock = std::chrono::steady_clock;

// One carried connection. Index 0 is the connecting side, 1 the target;
// direction d carries the bytes read from Fd[d] to Fd[1 - d].
struct TLink {
    int Fd[2] = {-1, -1};
    std::uint64_t Count[2] = {0, 0};  // bytes let through per direction
    std::string Held[2];
    bool Stalled[2] = {false, false};
    bool Dropping[2] = {false, false};
    TClock::time_point HoldUntil[2] = {};
};

bool SendAll(int fd, const char* data, std::size_t length) {
    std::size_t sent = 0;
    while (sent < length) {
        const ssize_t k = ::send(fd, data + sent, length - sent, MSG_NOSIGNAL);
        if (k <= 0)
            return false;
        sent += static_cast<std::size_t>(k);
    }
    return true;
}

void CloseLink(const TLink& link) {
    for (const int fd : link.Fd) {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

bool MayRead(const TLink& link, int d, TClock::time_point now) {
    return !link.Stalled[d] && link.Held[d].empty() && now >= link.HoldUntil[d];
}

}  // namespace

TForwardingProxy::TForwardingProxy(int targetPort) : m_targetPort(targetPort) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = Loopback(0);
    ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(m_listenFd, 8);
    socklen_t length = sizeof address;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Run(); });
}

TForwardingProxy::~TForwardingProxy() {
    m_stop = true;
    Wake();
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_wakeFd);
}

void TForwardingProxy::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_wakeFd, &one, sizeof one);
}

void TForwardingProxy::Cut() {
    m_cut = true;
    Wake();
    while (m_cut)
        std::this_thread::yield();
}

void TForwardingProxy::Arm(TProxyDirection direction, std::uint64_t atByte, TProxyFault fault,
                           std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_fault = {true, direction, atByte, fault, delay};
    m_fired = false;
}

std::string TForwardingProxy::Recorded() const {
    const std::lock_guard lock(m_recordMutex);
    return m_recorded;
}

void TForwardingProxy::Run() {
    std::vector<TLink> links;
    std::vector<char> buffer(1 << 16);
    while (!m_stop) {
        auto now = TClock::now();
        std::vector<pollfd> fds{{m_wakeFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        int timeout = 200;
        for (const TLink& link : links) {
            for (int d = 0; d < 2; ++d) {
                // A held direction still learns when its sender goes away.
                fds.push_back(
                    {link.Fd[d], static_cast<short>(MayRead(link, d, now) ? POLLIN : POLLRDHUP), 0});
                if (link.HoldUntil[d] > now) {
                    const auto wait =
                        std::chrono::duration_cast<std::chrono::milliseconds>(link.HoldUntil[d] - now)
                            .count();
                    timeout = std::min<int>(timeout, static_cast<int>(wait) + 1);
                }
            }
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0)
            continue;
        if (fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] const auto n = ::read(m_wakeFd, &count, sizeof count);
        }
        if (m_cut) {
            for (const TLink& link : links)
                CloseLink(link);
            links.clear();
            m_cut = false;
            continue;
        }
        // Only the links polled above have their results in fds.
        const std::size_t polled = links.size();
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in target = Loopback(m_targetPort);
                if (m_refusing ||
                    ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
                    ::close(server);
                    ::close(client);
                    ++m_refused;
                } else {
                    TLink link;
                    link.Fd[0] = client;
                    link.Fd[1] = server;
                    links.push_back(std::move(link));
                    ++m_connections;
                }
            }
        }
        const bool release = m_release.exchange(false);
        now = TClock::now();
        std::vector<TLink> alive;
        for (std::size_t i = 0; i < links.size(); ++i) {
            TLink& link = links[i];
            bool open = true;
            for (int d = 0; d < 2 && open; ++d) {
                if (release)
                    link.Stalled[d] = false;
                const int to = link.Fd[1 - d];
                const short events = i < polled ? fds[2 + 2 * i + d].revents : 0;
                if (!(events & POLLIN) && (events & (POLLRDHUP | POLLHUP | POLLERR))) {
                    open = false;
                    break;
                }
                if (events) {
                    const ssize_t n = ::recv(link.Fd[d], buffer.data(), buffer.size(), MSG_DONTWAIT);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                        open = false;
                        break;
                    }
                    const auto got = static_cast<std::size_t>(std::max<ssize_t>(n, 0));
                    if (m_recording) {
                        const std::lock_guard lock(m_recordMutex);
                        m_recorded.append(buffer.data(), got);
                    }
                    if (link.Dropping[d]) {
                        m_bytes += got;
                        continue;
                    }
                    std::size_t pass = got;
                    bool fire = false;
                    TFault fault;
                    {
                        std::lock_guard lock(m_mutex);
                        const auto direction = d == 0 ? TProxyDirection::pdUp : TProxyDirection::pdDown;
                        // A flip needs a byte after the count to act on.
                        const bool reached = m_fault.Kind == TProxyFault::pfFlip
                                                 ? link.Count[d] + got > m_fault.AtByte
                                                 : link.Count[d] + got >= m_fault.AtByte;
                        if (m_fault.Armed && m_fault.Direction == direction && reached &&
                            link.Count[d] <= m_fault.AtByte) {
                            pass = static_cast<std::size_t>(m_fault.AtByte - link.Count[d]);
                            fire = true;
                            fault = m_fault;
                            m_fault.Armed = false;
                        }
                    }
                    if (!SendAll(to, buffer.data(), pass)) {
                        open = false;
                        break;
                    }
                    link.Count[d] += pass;
                    m_bytes += pass;
                    if (!fire)
                        continue;
                    const std::string rest(buffer.data() + pass, got - pass);
                    switch (fault.Kind) {
                        case TProxyFault::pfCut:
                            open = false;
                            break;
                        case TProxyFault::pfStall:
                            link.Stalled[d] = true;
                            link.Held[d] = rest;
                            break;
                        case TProxyFault::pfDelay:
                            link.HoldUntil[d] = now + fault.Delay;
                            link.Held[d] = rest;
                            break;
                        case TProxyFault::pfDrop:
                            link.Dropping[d] = true;
                            m_bytes += rest.size();
                            break;
                        case TProxyFault::pfFlip:
                            link.Held[d] = rest;
                            link.Held[d][0] ^= 0x01;
                            break;
                    }
                    m_fired = true;
                }
                if (open && !link.Held[d].empty() && !link.Stalled[d] && now >= link.HoldUntil[d]) {
                    open = SendAll(to, link.Held[d].data(), link.Held[d].size());
                    link.Count[d] += link.Held[d].size();
                    m_bytes += link.Held[d].size();
                    link.Held[d].clear();
                }
            }
            if (open)
                alive.push_back(link);
            else
                CloseLink(link);
        }
        links.swap(alive);
    }
    for (const TLink& link : links)
        CloseLink(link);
}

}  // namespace fwp::test
