#include "server/query.h"

#include <arpa/inet.h>

#include "common/numbers.h"

namespace fwp::server {
namespace {

constexpr std::string_view ModeKey = "mode=";
constexpr std::string_view UserKey = "user=";
constexpr std::string_view PortKey = "&port=";
constexpr std::string_view IpKey = "&ip=";
constexpr std::string_view ProbePortKey = "port=";
constexpr std::string_view MappedIPv4Prefix = "::ffff:";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<TMode> ModeNamed(std::string_view name) {
    if (name == "open")
        return TMode::mdOpen;
    if (name == "get")
        return TMode::mdGet;
    if (name == "close")
        return TMode::mdClose;
    if (name == "probe")
        return TMode::mdProbe;
    if (name == "relay")
        return TMode::mdRelay;
    if (name == "relaywait")
        return TMode::mdRelayWait;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return bytes;
}

std::variant<TQuery, TQueryError> ParseQuery(std::string_view target) {
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos)
        return TQueryError{"Missing query"};
    std::string_view rest = target.substr(question + 1);
    if (!rest.starts_with(ModeKey))
        return TQueryError{"Query must start with mode="};
    rest.remove_prefix(ModeKey.size());
    const std::size_t modeEnd = rest.find('&');
    const std::optional<TMode> mode = ModeNamed(rest.substr(0, modeEnd));
    if (!mode)
        return TQueryError{"Unknown mode"};
    if (*mode == TMode::mdProbe) {
        if (modeEnd == std::string_view::npos || !rest.substr(modeEnd + 1).starts_with(ProbePortKey))
            return TQueryError{"Missing port"};
        TQuery query;
        query.Mode = TMode::mdProbe;
        query.Port = rest.substr(modeEnd + 1 + ProbePortKey.size());
        return query;
    }
    if (modeEnd == std::string_view::npos || !rest.substr(modeEnd + 1).starts_with(UserKey))
        return TQueryError{"Missing user"};
    rest.remove_prefix(modeEnd + 1 + UserKey.size());

    TQuery query;
    query.Mode = *mode;
    std::string_view user = rest;
    if (query.Mode == TMode::mdOpen) {
        const std::size_t ipAt = rest.rfind(IpKey);
        if (ipAt == std::string_view::npos)
            return TQueryError{"Missing ip"};
        const std::size_t portAt = rest.substr(0, ipAt).rfind(PortKey);
        if (portAt == std::string_view::npos)
            return TQueryError{"Missing port"};
        user = rest.substr(0, portAt);
        query.Port = rest.substr(portAt + PortKey.size(), ipAt - portAt - PortKey.size());
        const std::optional<std::string> ip = PercentDecode(rest.substr(ipAt + IpKey.size()));
        if (!ip)
            return TQueryError{"Bad escape in ip"};
        query.Ip = *ip;
    }
    std::optional<std::string> name = PercentDecode(user);
    if (!name)
        return TQueryError{"Bad escape in user"};
    query.User = std::move(*name);
    return query;
}

bool IsDottedIPv4(std::string_view text) {
    int parts = 0;
    std::size_t at = 0;
    while (true) {
        std::size_t end = at;
        while (end < text.size() && IsDigit(text[end]))
            ++end;
        const std::size_t digits = end - at;
        if (digits == 0 || digits > 3 || (digits > 1 && text[at] == '0'))
            return false;
        int value = 0;
        for (std::size_t i = at; i < end; ++i)
            value = value * 10 + (text[i] - '0');
        if (value > 255)
            return false;
        ++parts;
        if (end == text.size())
            return parts == 4;
        if (text[end] != '.' || parts == 4)
            return false;
        at = end + 1;
    }
}

std::optional<std::string> CanonicalAddress(std::string_view text) {
    if (IsDottedIPv4(text))
        return std::string(text);
    const std::string bytes(text);
    if (bytes.find_first_of(" \t%") != std::string::npos)
        return std::nullopt;
    in6_addr address{};
    if (::inet_pton(AF_INET6, bytes.c_str(), &address) != 1)
        return std::nullopt;
    char shown[INET6_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET6, &address, shown, sizeof shown))
        return std::nullopt;
    const std::string_view canonical = shown;
    if (canonical.starts_with(MappedIPv4Prefix) && IsDottedIPv4(canonical.substr(MappedIPv4Prefix.size())))
        return std::string(canonical.substr(MappedIPv4Prefix.size()));
    return std::string(canonical);
}

std::string RateLimitKey(const std::string& address) {
    in6_addr network{};
    if (address.find(':') == std::string::npos || ::inet_pton(AF_INET6, address.c_str(), &network) != 1)
        return address;
    for (std::size_t i = 8; i < sizeof network.s6_addr; ++i)
        network.s6_addr[i] = 0;
    char shown[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &network, shown, sizeof shown);
    return std::string(shown) + "/64";
}

std::optional<int> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (const char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

}  // namespace fwp::server
