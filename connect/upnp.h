#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "connect/http.h"

// Opens a port on the home router: finds the Internet gateway with SSDP, reads
// its device description for the WAN connection service, and calls that
// service's GetExternalIPAddress, AddPortMapping and DeletePortMapping.
namespace fwp {

// The one environment variable the mapper reads, so that tests never search
// the real network: "off" sends no search at all, and "ADDR:PORT" (IPv4)
// sends it to that destination instead of the SSDP group. Any other value
// also sends nothing. Unset, the search goes to 239.255.255.250:1900.
constexpr std::string_view SSDPTargetVariable = "FWP_SSDP_TARGET";

// The user agent of the device description request.
constexpr std::string_view DescriptionAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";

struct TUPnPOptions {
    // How long Discover waits for the first answer to its search.
    std::chrono::milliseconds SearchWait{5000};
    // How long one SOAP attempt waits for the router to start answering, and
    // afterwards for each further piece of the answer.
    std::chrono::milliseconds ReplyWait{5000};
    // A router on the home network takes a connection at once; an address
    // that drops the attempt is given up after this long.
    std::chrono::milliseconds ConnectWait{20'000};
    // Reading one answer, once it has started, ends after this long.
    std::chrono::milliseconds ReplyReadLimit{30'000};
    // A longer answer counts as no answer (SOAP answers are a few hundred bytes).
    std::size_t MaxReplyBytes = 64u << 10;
    // The search socket takes the first free UDP port from here upward.
    std::uint16_t FirstLocalPort = 20000;
    // The description fetch; a description larger than this is not read.
    THttpLimits DescriptionLimits{.MaxBodyBytes = 1u << 20};
    // The address mapped to; empty means GetLocalIPAddress().
    std::string InternalClient;
};

// The router's answer to one SOAP action.
struct TSOAPReply {
    // The body lines of the first answer with status 200, each followed by
    // CR LF; empty when no header style got a 200.
    std::string Response;
    // The status of the last answer read; 0 when none was read, or when the
    // last answer broke the size limit.
    int Status = 0;
};

// All calls block the calling thread; failures are false or empty results,
// never exceptions.
class TUPnPController {
public:
    explicit TUPnPController(TUPnPOptions options = {}) : m_options(std::move(options)) {}

    // Searches for the gateway and reads its description. True when a control
    // URL was found. Every discovery replaces ControlURL and ServiceType;
    // a failed one leaves ControlURL empty.
    bool Discover();
    // The router's external address, dotted; empty when unknown.
    std::string GetExternalIPAddress();
    // Maps externalPort on the router to internalPort of this machine, for
    // protocol 0 (TCP) or 1 (UDP), with no lease time. Any other protocol is
    // false at once.
    bool AddPortMapping(int externalPort, int internalPort, int protocol);
    bool DeletePortMapping(int externalPort, int protocol);

    // Posts one SOAP action to the control URL, trying the three header
    // styles in turn until one gets status 200.
    TSOAPReply SendSOAPRequest(std::string_view action, std::string_view body);

    const std::string& ControlURL() const { return m_controlURL; }
    const std::string& ServiceType() const { return m_serviceType; }
    // Sets the service to talk to without a discovery.
    void SetService(std::string controlURL, std::string serviceType);
    TUPnPOptions& Options() { return m_options; }

private:
    std::string SearchLocation() const;
    bool Exchange(int fd, const std::string& request, TSOAPReply& reply) const;
    std::string ExternalAddressFrom(const TSOAPReply& reply) const;

    TUPnPOptions m_options;
    std::string m_controlURL;
    std::string m_serviceType;
};

// The local host's first IPv4 address, dotted: the first one its host name
// resolves to. Loopback addresses are passed over (many Linux systems map the
// host name to 127.0.1.1) in favour of the first address of an interface that
// is up; a loopback address is returned only when there is nothing else.
std::string GetLocalIPAddress();

}  // namespace fwp
