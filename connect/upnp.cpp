#include "connect/upnp.h"

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/numbers.h"
#include "connect/socket_util.h"
#include "connect/upnp_wire.h"

namespace fwp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int MulticastTTL = 4;
constexpr std::size_t MaxAnswerBytes = 2048;  // of the one SSDP answer that is read

std::string Lowered(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

const char* ProtocolName(int protocol) {
    return protocol == 0 ? "TCP" : "UDP";
}

bool IsLoopback(in_addr address) {
    return (ntohl(address.s_addr) >> 24) == 127;
}

// The addresses the search is sent from. Towards the SSDP group: every
// interface that is up and can multicast, except loopback, where no router
// listens. Towards a loopback destination (a test's responder): the loopback
// addresses only, since the datagram never leaves the machine anyway.
// Towards any other single address: every address that is not loopback.
std::vector<in_addr> SearchSources(in_addr destination) {
    const bool multicast = IN_MULTICAST(ntohl(destination.s_addr));
    const bool loopback = IsLoopback(destination);
    std::vector<in_addr> sources;
    for (const net::TLocalAddress& local : net::LocalIPv4Addresses()) {
        const bool use = loopback ? local.Loopback : (!local.Loopback && (!multicast || local.Multicast));
        if (use)
            sources.push_back(local.Address);
    }
    return sources;
}

// Binds the search socket to the first free port from first upward.
bool BindSearchPort(int fd, std::uint16_t first) {
    for (std::uint32_t port = first; port <= 65535; ++port) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(static_cast<std::uint16_t>(port));
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0)
            return true;
        if (errno != EADDRINUSE)
            return false;
    }
    return false;
}

}  // namespace

void TUPnPController::SetService(std::string controlURL, std::string serviceType) {
    m_controlURL = std::move(controlURL);
    m_serviceType = std::move(serviceType);
}

bool TUPnPController::Discover() {
    m_controlURL.clear();
    m_serviceType.clear();
    const std::string location = SearchLocation();
    if (location.empty())
        return false;
    std::string description;
    try {
        description = HttpGet(location, std::string(DescriptionAgent), m_options.DescriptionLimits);
    } catch (const TError&) {
        return false;
    }
    upnp::ParseDeviceDescription(location, description, m_controlURL, m_serviceType);
    return !m_controlURL.empty();
}

std::string TUPnPController::SearchLocation() const {
    net::TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid() || !BindSearchPort(fd.Get(), m_options.FirstLocalPort))
        return {};
    const int ttl = MulticastTTL;
    const int flags = ::fcntl(fd.Get(), F_GETFL, 0);
    if (::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 || flags < 0 ||
        ::fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0)
        return {};

    const upnp::TSearchTarget target =
        upnp::SearchTargetFrom(std::getenv(std::string(SSDPTargetVariable).c_str()));
    if (!target.Send)
        return {};
    const std::vector<in_addr> sources = SearchSources(target.Address.sin_addr);
    if (sources.empty())
        return {};
    const std::string datagram = upnp::SearchDatagram();
    for (const in_addr& source : sources) {
        if (::setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_IF, &source, sizeof source) != 0)
            return {};
        const ssize_t sent =
            ::sendto(fd.Get(), datagram.data(), datagram.size(), 0,
                     reinterpret_cast<const sockaddr*>(&target.Address), sizeof target.Address);
        if (sent < 1)
            return {};
    }

    if (!net::WaitReadable(fd.Get(), m_options.SearchWait))
        return {};
    // Only the first answer counts, whoever sent it.
    char answer[MaxAnswerBytes];
    const ssize_t received = ::recv(fd.Get(), answer, sizeof answer, 0);
    if (received <= 0)
        return {};
    return upnp::LocationFromAnswer(std::string_view(answer, static_cast<std::size_t>(received)));
}

TSOAPReply TUPnPController::SendSOAPRequest(std::string_view action, std::string_view body) {
    TSOAPReply reply;
    const upnp::TControlTarget target = upnp::SplitControlURL(m_controlURL);
    const std::optional<std::int32_t> port = ParseInt32(target.Port);
    if (!port || *port < 1 || *port > 65535)
        return reply;
    const auto connect = [&] {
        return net::ConnectTcp(target.Host, static_cast<std::uint16_t>(*port), m_options.ConnectWait);
    };
    net::TFd connection = connect();
    for (int style = 1; style <= 3 && connection.Valid(); ++style) {
        const std::string request =
            upnp::SOAPHeader(style, target, m_serviceType, action, body.size()) + "\n" + std::string(body);
        if (Exchange(connection.Get(), request, reply))
            break;
        // Not understood or not answered: the next style goes over a fresh
        // connection, so a late answer to this one cannot be taken for its.
        connection.Reset();
        if (style < 3)
            connection = connect();
    }
    return reply;
}

// One attempt on an open connection. True when the router answered 200 and
// its body has been read into reply.Response.
bool TUPnPController::Exchange(int fd, const std::string& request, TSOAPReply& reply) const {
    if (!net::SendAll(fd, request, m_options.ReplyWait) || !net::WaitReadable(fd, m_options.ReplyWait))
        return false;
    net::TLineReader reader(fd, m_options.ReplyWait, Clock::now() + m_options.ReplyReadLimit,
                            m_options.MaxReplyBytes);
    std::string line;
    std::size_t used = 0;
    const auto overflow = [&] {
        reply.Status = 0;
        return false;
    };

    net::TReadResult result = reader.ReadLine(line, used);
    if (result == net::TReadResult::rrOverflow)
        return overflow();
    if (result == net::TReadResult::rrEnd)
        line.clear();
    reply.Status = upnp::StatusFromLine(line);
    if (reply.Status != 200)
        return false;

    // A length that is missing or not a number leaves the body to end at its
    // first empty line or when the router stops sending.
    std::int64_t length = -1;
    for (;;) {
        result = reader.ReadLine(line, used);
        if (result == net::TReadResult::rrOverflow)
            return overflow();
        if (result == net::TReadResult::rrEnd || line.empty())
            break;
        constexpr std::string_view LengthName = "content-length:";
        if (line.size() >= LengthName.size() && Lowered(line.substr(0, LengthName.size())) == LengthName)
            length = ParseInt64(TrimBlanks(std::string_view(line).substr(LengthName.size()))).value_or(-1);
    }

    // Body lines, each stored with CR LF. With a known length, reading stops
    // once that many bytes have been taken, even inside a line, so an answer
    // on a connection that stays open ends without waiting.
    std::string response;
    std::int64_t taken = 0;
    while (length < 0 || taken < length) {
        const std::size_t limit = length < 0 ? SIZE_MAX : static_cast<std::size_t>(length - taken);
        result = reader.ReadLine(line, used, limit);
        if (result == net::TReadResult::rrOverflow)
            return overflow();
        if (result == net::TReadResult::rrEnd || line.empty())
            break;
        response += line;
        response += "\r\n";
        taken += static_cast<std::int64_t>(used);
    }
    reply.Response = std::move(response);
    return true;
}

std::string TUPnPController::ExternalAddressFrom(const TSOAPReply& reply) const {
    if (reply.Status / 100 != 2)
        return {};
    constexpr std::string_view Open = "<newexternalipaddress>";
    constexpr std::string_view Close = "</newexternalipaddress>";
    const std::string response = Lowered(reply.Response);
    const std::size_t start = response.find(Open);
    if (start == std::string::npos)
        return {};
    const std::size_t end = response.find(Close, start + Open.size());
    if (end == std::string::npos)
        return {};
    return response.substr(start + Open.size(), end - start - Open.size());
}

std::string TUPnPController::GetExternalIPAddress() {
    if (m_controlURL.empty())
        return {};
    constexpr std::string_view Action = "GetExternalIPAddress";
    std::string address = ExternalAddressFrom(SendSOAPRequest(Action, upnp::BodyG1()));
    if (address.find('.') == std::string::npos)
        address = ExternalAddressFrom(SendSOAPRequest(Action, upnp::BodyG2(m_serviceType)));
    return address;
}

namespace {

// An action went through when the router said 2xx and its answer mentions no
// error.
bool Succeeded(const TSOAPReply& reply) {
    return reply.Status / 100 == 2 && Lowered(reply.Response).find("error") == std::string::npos;
}

}  // namespace

bool TUPnPController::AddPortMapping(int externalPort, int internalPort, int protocol) {
    if (m_controlURL.empty() || (protocol != 0 && protocol != 1))
        return false;
    const std::string client =
        m_options.InternalClient.empty() ? GetLocalIPAddress() : m_options.InternalClient;
    const char* name = ProtocolName(protocol);
    constexpr std::string_view Action = "AddPortMapping";
    return Succeeded(SendSOAPRequest(
               Action, upnp::BodyA1(m_serviceType, externalPort, internalPort, name, client))) ||
           Succeeded(SendSOAPRequest(
               Action, upnp::BodyA2(m_serviceType, externalPort, internalPort, name, client))) ||
           Succeeded(SendSOAPRequest(Action,
                                     upnp::BodyA3(m_serviceType, externalPort, internalPort, name, client)));
}

bool TUPnPController::DeletePortMapping(int externalPort, int protocol) {
    if (m_controlURL.empty() || (protocol != 0 && protocol != 1))
        return false;
    const char* name = ProtocolName(protocol);
    constexpr std::string_view Action = "DeletePortMapping";
    return Succeeded(SendSOAPRequest(Action, upnp::BodyD1(m_serviceType, externalPort, name))) ||
           Succeeded(SendSOAPRequest(Action, upnp::BodyD2(m_serviceType, externalPort, name)));
}

std::string GetLocalIPAddress() {
    std::vector<in_addr> resolved;
    char hostName[256] = {};
    if (::gethostname(hostName, sizeof hostName - 1) == 0) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (::getaddrinfo(hostName, nullptr, &hints, &found) == 0) {
            for (const addrinfo* entry = found; entry; entry = entry->ai_next)
                resolved.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
            ::freeaddrinfo(found);
        }
    }
    for (const in_addr& address : resolved) {
        if (!IsLoopback(address))
            return net::DottedAddress(address);
    }
    for (const net::TLocalAddress& local : net::LocalIPv4Addresses()) {
        if (!local.Loopback)
            return net::DottedAddress(local.Address);
    }
    return resolved.empty() ? std::string() : net::DottedAddress(resolved.front());
}

}  // namespace fwp
