#include "engine/address.h"

#include <cstdio>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/numbers.h"

namespace fwp {

bool IsDottedAddress(std::string_view text) {
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view part = text.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos ||
            !ParseInt32(part))
            return false;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return parts == 4;
}

std::string ResolveHost(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || !result)
        return {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&address->sin_addr.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(result);
    return text;
}

std::string LocalHostAddr() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "0.0.0.0";
    return ResolveHost(name);
}

}  // namespace fwp
