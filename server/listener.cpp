#include "server/listener.h"

#include <string>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fwp::server {

TListener ListenOn(const THostPort& listen, bool nonBlocking) {
    TListener listener;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(listen.Port);
    const char* host = listen.Host.empty() ? nullptr : listen.Host.c_str();
    if (::getaddrinfo(host, port.c_str(), &hints, &found) != 0)
        return listener;
    for (const addrinfo* entry = found; entry && listener.Fd < 0; entry = entry->ai_next) {
        const int fd =
            ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                     entry->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        const int off = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (entry->ai_family == AF_INET6)
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (::bind(fd, entry->ai_addr, entry->ai_addrlen) == 0 && ::listen(fd, SOMAXCONN) == 0) {
            listener.Fd = fd;
            listener.IPv6 = entry->ai_family == AF_INET6;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (listener.Fd < 0 || ::getsockname(listener.Fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
        return listener;
    listener.Port =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    return listener;
}

}  // namespace fwp::server
