#include "connect/upnp.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/numbers.h"
#include "connect/natpmp.h"
#include "connect/socket_util.h"
#include "connect/upnp_wire.h"

namespace fwp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int MulticastTTL = 4;
constexpr std::chrono::milliseconds NatPmpGrace{1000};
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

TUPnPController::~TUPnPController() {
    StopRenewing();
}

const char* TUPnPController::MethodName() const {
    switch (m_method) {
        case TMappingMethod::mmUPnP:
            return "upnp";
        case TMappingMethod::mmNatPmp:
            return "natpmp";
        case TMappingMethod::mmNone:
            break;
    }
    return "none";
}

void TUPnPController::SetService(std::string controlURL, std::string serviceType) {
    m_controlURL = std::move(controlURL);
    m_serviceType = std::move(serviceType);
    m_method = m_controlURL.empty() ? TMappingMethod::mmNone : TMappingMethod::mmUPnP;
}

bool TUPnPController::Discover() {
    m_controlURL.clear();
    m_serviceType.clear();
    m_method = TMappingMethod::mmNone;
    // The NAT-PMP question goes out beside the search, so that a gateway that
    // speaks only NAT-PMP is known without waiting out the search.
    std::atomic<bool> natPmpAnswered = false;
    std::string natPmpAddress;
    std::thread natPmpProbe([&] {
        natPmpAddress = TNatPmpClient(m_options.NatPmpWait).ExternalAddress();
        natPmpAnswered = !natPmpAddress.empty();
    });
    const std::string location = SearchLocation(natPmpAnswered);
    natPmpProbe.join();
    if (!location.empty()) {
        try {
            const std::string description =
                HttpGet(location, std::string(DescriptionAgent), m_options.DescriptionLimits);
            upnp::ParseDeviceDescription(location, description, m_controlURL, m_serviceType);
        } catch (const TError&) {
            m_controlURL.clear();
        }
    }
    if (!m_controlURL.empty()) {
        m_method = TMappingMethod::mmUPnP;
        return true;
    }
    m_serviceType.clear();
    if (!natPmpAddress.empty())
        m_method = TMappingMethod::mmNatPmp;
    return m_method == TMappingMethod::mmNatPmp;
}

std::string TUPnPController::SearchLocation(const std::atomic<bool>& natPmpAnswered) const {
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

    // Waits for the first answer. Once NAT-PMP has answered, a UPnP gateway
    // still gets a short grace (a router that speaks both answers the search
    // at once), not the whole wait.
    const Clock::time_point start = Clock::now();
    for (;;) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        const auto limit =
            natPmpAnswered ? std::min(m_options.SearchWait, NatPmpGrace) : m_options.SearchWait;
        if (waited >= limit)
            return {};
        if (net::WaitReadable(fd.Get(), std::min(limit - waited, std::chrono::milliseconds(50))))
            break;
    }
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
    std::vector<int> styles{m_firstStyle};
    for (int style = 0; style < upnp::StyleCount; ++style) {
        if (style != m_firstStyle)
            styles.push_back(style);
    }
    net::TFd connection = connect();
    for (std::size_t i = 0; i < styles.size() && connection.Valid(); ++i) {
        const std::string request = upnp::SOAPRequest(styles[i], target, m_serviceType, action, body);
        if (Exchange(connection.Get(), request, reply)) {
            m_firstStyle = styles[i];
            break;
        }
        // Not understood or not answered: the next style goes over a fresh
        // connection, so a late answer to this one cannot be taken for its.
        connection.Reset();
        if (i + 1 < styles.size())
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

namespace {

// An action went through when the router said 2xx and its answer mentions no
// error.
bool Succeeded(const TSOAPReply& reply) {
    return reply.Status / 100 == 2 && Lowered(reply.Response).find("error") == std::string::npos;
}

// The source address this machine would use towards host, dotted; empty when
// there is no route. Connecting a UDP socket sends nothing.
std::string SourceAddressTowards(const std::string& host) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(9);
    if (::inet_pton(AF_INET, host.c_str(), &destination.sin_addr) != 1)
        return {};
    net::TFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!fd.Valid() ||
        ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&destination), sizeof destination) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    return net::DottedAddress(local.sin_addr);
}

}  // namespace

bool TUPnPController::SendBodies(std::string_view action, const std::vector<std::string>& bodies,
                                 TBodyChoice& choice) {
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const std::size_t body = (static_cast<std::size_t>(choice.First) + i) % bodies.size();
        if (Succeeded(SendSOAPRequest(action, bodies[body]))) {
            choice.First = static_cast<int>(body);
            return true;
        }
    }
    return false;
}

std::string TUPnPController::GetExternalIPAddress() {
    if (m_method == TMappingMethod::mmNatPmp)
        return TNatPmpClient(m_options.NatPmpWait).ExternalAddress();
    if (m_controlURL.empty())
        return {};
    constexpr std::string_view Action = "GetExternalIPAddress";
    // The first body names WANIPConnection:1 whatever the service is, so it
    // goes only to that service.
    std::vector<std::string> bodies;
    if (m_serviceType == "urn:schemas-upnp-org:service:WANIPConnection:1")
        bodies.push_back(upnp::BodyG1());
    bodies.push_back(upnp::BodyG2(m_serviceType));
    std::string address;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const std::size_t body = (static_cast<std::size_t>(m_addressBody.First) + i) % bodies.size();
        address = ExternalAddressFrom(SendSOAPRequest(Action, bodies[body]));
        if (address.find('.') != std::string::npos) {
            m_addressBody.First = static_cast<int>(body);
            break;
        }
    }
    return address;
}

std::string TUPnPController::InternalClient() const {
    if (!m_options.InternalClient.empty())
        return m_options.InternalClient;
    const std::string towardsRouter = SourceAddressTowards(upnp::SplitControlURL(m_controlURL).Host);
    return towardsRouter.empty() ? GetLocalIPAddress() : towardsRouter;
}

bool TUPnPController::AddPortMapping(int externalPort, int internalPort, int protocol) {
    if (protocol != 0 && protocol != 1)
        return false;
    if (m_method == TMappingMethod::mmNatPmp) {
        if (externalPort != internalPort)
            return false;
        const std::optional<std::uint32_t> granted =
            TNatPmpClient(m_options.NatPmpWait).Map(externalPort, protocol, NatPmpLease());
        if (!granted || *granted == 0)
            return false;
        const std::scoped_lock lock(m_leaseMutex);
        std::erase_if(m_leases, [&](const TLease& lease) {
            return lease.Port == externalPort && lease.Protocol == protocol;
        });
        m_leases.push_back({externalPort, protocol, Clock::now() + std::chrono::seconds(*granted) / 2});
        if (!m_renewer.joinable())
            m_renewer = std::thread([this] { RenewLeases(); });
        m_leaseChanged.notify_all();
        return true;
    }
    if (m_controlURL.empty())
        return false;
    const std::string client = InternalClient();
    const char* name = ProtocolName(protocol);
    return SendBodies("AddPortMapping",
                      {upnp::BodyA1(m_serviceType, externalPort, internalPort, name, client),
                       upnp::BodyA2(m_serviceType, externalPort, internalPort, name, client),
                       upnp::BodyA3(m_serviceType, externalPort, internalPort, name, client)},
                      m_addBody);
}

bool TUPnPController::DeletePortMapping(int externalPort, int protocol) {
    if (protocol != 0 && protocol != 1)
        return false;
    if (m_method == TMappingMethod::mmNatPmp) {
        {
            const std::scoped_lock lock(m_leaseMutex);
            std::erase_if(m_leases, [&](const TLease& lease) {
                return lease.Port == externalPort && lease.Protocol == protocol;
            });
        }
        return TNatPmpClient(m_options.NatPmpWait).Map(externalPort, protocol, 0).has_value();
    }
    if (m_controlURL.empty())
        return false;
    const char* name = ProtocolName(protocol);
    return SendBodies(
        "DeletePortMapping",
        {upnp::BodyD1(m_serviceType, externalPort, name), upnp::BodyD2(m_serviceType, externalPort, name)},
        m_deleteBody);
}

std::uint32_t TUPnPController::NatPmpLease() const {
    if (const char* value = std::getenv(std::string(NatPmpLeaseVariable).c_str())) {
        const std::optional<std::int32_t> seconds = ParseInt32(value);
        if (seconds && *seconds >= 2 && *seconds <= 86400)
            return static_cast<std::uint32_t>(*seconds);
    }
    return m_options.NatPmpLease;
}

// Renews each NAT-PMP lease at half its granted time until it is deleted or
// the controller ends. A renewal that fails is tried again a few seconds
// later, while the old lease may still hold.
void TUPnPController::RenewLeases() {
    std::unique_lock lock(m_leaseMutex);
    while (!m_stopRenewing) {
        auto due = Clock::time_point::max();
        for (const TLease& lease : m_leases)
            due = std::min(due, lease.Due);
        if (due == Clock::time_point::max()) {
            m_leaseChanged.wait(lock);
            continue;
        }
        if (m_leaseChanged.wait_until(lock, due) != std::cv_status::timeout || m_stopRenewing)
            continue;
        for (TLease& lease : m_leases) {
            if (lease.Due > Clock::now())
                continue;
            const TLease renewing = lease;
            lock.unlock();
            const std::optional<std::uint32_t> granted =
                TNatPmpClient(m_options.NatPmpWait).Map(renewing.Port, renewing.Protocol, NatPmpLease());
            lock.lock();
            const auto next =
                granted && *granted > 0 ? std::chrono::seconds(*granted) / 2 : std::chrono::seconds(5);
            // The list may have changed while unlocked: find the lease again.
            for (TLease& held : m_leases) {
                if (held.Port == renewing.Port && held.Protocol == renewing.Protocol)
                    held.Due = Clock::now() + next;
            }
            break;
        }
    }
}

void TUPnPController::StopRenewing() {
    {
        const std::scoped_lock lock(m_leaseMutex);
        m_stopRenewing = true;
    }
    m_leaseChanged.notify_all();
    if (m_renewer.joinable())
        m_renewer.join();
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

bool IsGlobalIPv6Address(std::string_view text) {
    in6_addr address{};
    if (::inet_pton(AF_INET6, std::string(text).c_str(), &address) != 1)
        return false;
    const unsigned char first = address.s6_addr[0];
    return !IN6_IS_ADDR_UNSPECIFIED(&address) && !IN6_IS_ADDR_LOOPBACK(&address) &&
           !IN6_IS_ADDR_LINKLOCAL(&address) && !IN6_IS_ADDR_SITELOCAL(&address) &&
           !IN6_IS_ADDR_MULTICAST(&address) && !IN6_IS_ADDR_V4MAPPED(&address) &&
           !IN6_IS_ADDR_V4COMPAT(&address) && (first & 0xfe) != 0xfc;
}

std::string GetGlobalIPv6Address() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (const ifaddrs* entry = list; entry && found.empty(); entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET6 || !(entry->ifa_flags & IFF_UP))
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET6, &address->sin6_addr, text, sizeof text) && IsGlobalIPv6Address(text))
            found = text;
    }
    ::freeifaddrs(list);
    return found;
}

}  // namespace fwp
