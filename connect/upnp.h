#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "connect/http.h"

// Opens a port on the home router: finds the Internet gateway with SSDP, reads
// its device description for the WAN connection service, and calls that
// service's GetExternalIPAddress, AddPortMapping and DeletePortMapping. When
// no UPnP gateway answers, the same calls go to the default gateway by NAT-PMP
// (connect/natpmp.h), whose leases are renewed while the mapping lasts.
namespace fwp {

// Where the UPnP search goes, so that tests never search the real network
// (the NAT-PMP variables are in connect/natpmp.h): "off" sends no search at all, and "ADDR:PORT" (IPv4)
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
    // The address mapped to; empty means this machine's address on the way
    // to the router, or else GetLocalIPAddress().
    std::string InternalClient;
    // How long one NAT-PMP request waits for the gateway, resends included.
    std::chrono::milliseconds NatPmpWait{2000};
    // The NAT-PMP lease asked for, in seconds; renewed at half its time.
    // NatPmpLeaseVariable overrides it.
    std::uint32_t NatPmpLease = 3600;
};

// How the port is mapped: not at all (no gateway found), by UPnP or by NAT-PMP.
enum class TMappingMethod { mmNone, mmUPnP, mmNatPmp };

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
// never exceptions. An instance keeps all its state to itself, so separate
// instances may work on separate threads; one instance is used by one thread
// at a time.
class TUPnPController {
public:
    explicit TUPnPController(TUPnPOptions options = {}) : m_options(std::move(options)) {}
    ~TUPnPController();
    TUPnPController(const TUPnPController&) = delete;
    TUPnPController& operator=(const TUPnPController&) = delete;

    // Searches for the gateway and reads its description; when no UPnP
    // gateway is found, asks the default gateway for its address by NAT-PMP.
    // True when either answered. Every discovery replaces ControlURL,
    // ServiceType and Method; a failed one leaves ControlURL empty.
    bool Discover();
    TMappingMethod Method() const { return m_method; }
    // "upnp", "natpmp" or "none".
    const char* MethodName() const;
    // The router's external address, dotted; empty when unknown.
    std::string GetExternalIPAddress();
    // Maps externalPort on the router to internalPort of this machine, for
    // protocol 0 (TCP) or 1 (UDP), with no lease time by UPnP, or by NAT-PMP
    // with a lease renewed until DeletePortMapping or the controller's end
    // (NAT-PMP maps a port only to the same port). Any other protocol is false
    // at once.
    bool AddPortMapping(int externalPort, int internalPort, int protocol);
    bool DeletePortMapping(int externalPort, int protocol);

    // Posts one SOAP action to the control URL, trying the header styles in
    // turn until one gets status 200: the style that last got a 200 first,
    // then the others in their order.
    TSOAPReply SendSOAPRequest(std::string_view action, std::string_view body);

    const std::string& ControlURL() const { return m_controlURL; }
    const std::string& ServiceType() const { return m_serviceType; }
    // Sets the service to talk to without a discovery.
    void SetService(std::string controlURL, std::string serviceType);
    TUPnPOptions& Options() { return m_options; }

private:
    // The bodies of one action, tried in turn; the one a router took last is
    // remembered and tried first next time.
    struct TBodyChoice {
        int First = 0;
    };
    struct TLease {
        int Port = 0;
        int Protocol = 0;
        std::chrono::steady_clock::time_point Due;
    };

    std::string SearchLocation(const std::atomic<bool>& natPmpAnswered) const;
    bool Exchange(int fd, const std::string& request, TSOAPReply& reply) const;
    std::string ExternalAddressFrom(const TSOAPReply& reply) const;
    bool SendBodies(std::string_view action, const std::vector<std::string>& bodies, TBodyChoice& choice);
    std::string InternalClient() const;
    std::uint32_t NatPmpLease() const;
    void RenewLeases();
    void StopRenewing();

    TUPnPOptions m_options;
    std::string m_controlURL;
    std::string m_serviceType;
    TMappingMethod m_method = TMappingMethod::mmNone;
    int m_firstStyle = 0;
    TBodyChoice m_addressBody;
    TBodyChoice m_addBody;
    TBodyChoice m_deleteBody;

    // NAT-PMP leases held, renewed by m_renewer.
    std::mutex m_leaseMutex;
    std::condition_variable m_leaseChanged;
    std::vector<TLease> m_leases;
    bool m_stopRenewing = false;
    std::thread m_renewer;
};

// The local host's first IPv4 address, dotted: the first one its host name
// resolves to. Loopback addresses are passed over (many Linux systems map the
// host name to 127.0.1.1) in favour of the first address of an interface that
// is up; a loopback address is returned only when there is nothing else.
std::string GetLocalIPAddress();

// True for an IPv6 address in text that reaches beyond this site: not
// loopback, link-local, unique local (fc00::/7), multicast, unspecified or
// an IPv4 address in IPv6 form.
bool IsGlobalIPv6Address(std::string_view text);
// The first global IPv6 address of an interface that is up, as text; empty
// when there is none.
std::string GetGlobalIPv6Address();

}  // namespace fwp
