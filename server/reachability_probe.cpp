#include "server/reachability_probe.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fwp::server {
namespace {

using Clock = std::chrono::steady_clock;

class TSocket {
public:
    explicit TSocket(int fd) : m_fd(fd) {}
    ~TSocket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

// Waits for events on fd until deadline; false when the time ran out.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

bool ProbeListener(const std::string& ip, int port, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    sockaddr_storage address{};
    socklen_t size = 0;
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        ::inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof(sockaddr_in);
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
               ::inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    const TSocket socket(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Fd() < 0)
        return false;
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        if (errno != EINPROGRESS || !WaitFor(socket.Fd(), POLLOUT, deadline))
            return false;
        int error = 0;
        socklen_t errorSize = sizeof error;
        if (::getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &errorSize) != 0 || error != 0)
            return false;
    }
    // A banner and its CR LF; anything else in their place is not this program.
    std::vector<std::string> banners = {std::string(PeerBanner) + "\r\n"};
    for (const std::string_view banner : SecurePeerBanners)
        banners.push_back(std::string(banner) + "\r\n");
    const auto any = [&](auto test) { return std::any_of(banners.begin(), banners.end(), test); };
    std::string received;
    while (!any([&](const std::string& banner) { return banner == received; })) {
        if (!WaitFor(socket.Fd(), POLLIN, deadline))
            return false;
        // One byte at a time: a banner is short, and nothing after it is read.
        char byte = 0;
        const ssize_t n = ::recv(socket.Fd(), &byte, 1, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;
            return false;
        }
        received += byte;
        if (!any([&](const std::string& banner) { return banner.starts_with(received); }))
            return false;
    }
    return true;
}

}  // namespace fwp::server
