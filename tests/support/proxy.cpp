#include "tests/support/proxy.h"

#include <cstdint>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback.h"

namespace fwp::test {
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
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_wakeFd, &one, sizeof one);
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_wakeFd);
}

void TForwardingProxy::Cut() {
    m_cut = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_wakeFd, &one, sizeof one);
    while (m_cut)
        std::this_thread::yield();
}

std::string TForwardingProxy::Recorded() const {
    const std::lock_guard lock(m_recordMutex);
    return m_recorded;
}

void TForwardingProxy::Run() {
    std::vector<TPair> pairs;
    auto closePair = [](const TPair& pair) {
        ::shutdown(pair.A, SHUT_RDWR);
        ::shutdown(pair.B, SHUT_RDWR);
        ::close(pair.A);
        ::close(pair.B);
    };
    char buffer[1 << 16];
    while (!m_stop) {
        std::vector<pollfd> fds{{m_wakeFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        for (const TPair& pair : pairs) {
            fds.push_back({pair.A, POLLIN, 0});
            fds.push_back({pair.B, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), 200) < 0)
            continue;
        if (fds[0].revents) {
            std::uint64_t count;
            [[maybe_unused]] const auto n = ::read(m_wakeFd, &count, sizeof count);
        }
        if (m_cut) {
            for (const TPair& pair : pairs)
                closePair(pair);
            pairs.clear();
            m_cut = false;
            continue;
        }
        // Only the pairs polled above have their results in fds.
        const std::size_t polled = pairs.size();
        if (fds[1].revents & POLLIN) {
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in target = Loopback(m_targetPort);
                if (m_refusing ||
                    ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
                    ::close(server);
                    ::close(client);
                } else {
                    pairs.push_back({client, server});
                    ++m_connections;
                }
            }
        }
        std::vector<TPair> alive;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            if (i >= polled) {
                alive.push_back(pairs[i]);
                continue;
            }
            bool open = true;
            for (int side = 0; side < 2 && open; ++side) {
                const pollfd& p = fds[2 + 2 * i + side];
                if (!p.revents)
                    continue;
                const int from = side == 0 ? pairs[i].A : pairs[i].B;
                const int to = side == 0 ? pairs[i].B : pairs[i].A;
                const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    open = false;
                    break;
                }
                if (const std::uint64_t flipAt = m_flipAt; side == 0 && m_bytes + n > flipAt) {
                    buffer[flipAt > m_bytes ? flipAt - m_bytes : 0] ^= 0x01;
                    m_flipAt = UINT64_MAX;
                }
                if (m_recording) {
                    const std::lock_guard lock(m_recordMutex);
                    m_recorded.append(buffer, static_cast<std::size_t>(n));
                }
                ssize_t sent = 0;
                while (sent < n) {
                    const ssize_t k =
                        ::send(to, buffer + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
                    if (k <= 0) {
                        open = false;
                        break;
                    }
                    sent += k;
                }
                m_bytes += static_cast<std::uint64_t>(n);
            }
            if (open)
                alive.push_back(pairs[i]);
            else
                closePair(pairs[i]);
        }
        pairs.swap(alive);
    }
    for (const TPair& pair : pairs)
        closePair(pair);
}

}  // namespace fwp::test
