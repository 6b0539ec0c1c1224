// Internal to connect/.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <netinet/in.h>

// The bytes the UPnP mapper sends and the texts it reads: the SSDP search,
// the answer's location line, the device description, the control URL, the
// three SOAP header styles and the SOAP bodies. Routers are picky, so every
// literal here is byte for byte what they are known to accept.
namespace fwp::upnp {

// Where the search goes: the SSDP group, or the one destination that
// FWP_SSDP_TARGET names; nowhere when it says "off" or cannot be read.
struct TSearchTarget {
    bool Send = false;
    sockaddr_in Address{};
};
TSearchTarget SearchTargetFrom(const char* variable);

// The search datagram: one M-SEARCH request written twice (202 bytes).
std::string SearchDatagram();

// The value of the first "location:" line of an SSDP answer (the name in any
// case), trimmed; empty when there is none.
std::string LocationFromAnswer(std::string_view answer);

// Reads a device description fetched from location. On success fills the
// absolute control URL and the service type of the first service of the WAN
// connection device. When that first service is some other service (a
// firewall or interface service listed before the connection), the first
// WANIPConnection service of the description is taken instead, or else the
// first WANPPPConnection one. On failure leaves both empty and returns false.
bool ParseDeviceDescription(std::string_view location, std::string_view xml, std::string& controlURL,
                            std::string& serviceType);

// A control URL taken apart the way the requests use it.
struct TControlTarget {
    std::string Host;
    std::string Port;  // "80" when the URL names none
    std::string Path;  // from the "/" after the host on, at most 255 characters
};
TControlTarget SplitControlURL(std::string_view controlURL);

// The header styles, in the order they are tried first. The standard one is
// an ordinary HTTP/1.1 request that any server parses; the three older ones
// carry the exact header lines that some routers insist on.
constexpr int StandardStyle = 0;
constexpr int StyleCount = 4;

// The header of style 0 to 3, without the empty line that ends it.
std::string SOAPHeader(int style, const TControlTarget& target, std::string_view serviceType,
                       std::string_view action, std::size_t bodyLength);

// The whole request: the header, the empty line and the body. The empty line
// is written with the line end of its style, so that a header of CR LF lines
// ends in CR LF CR LF as HTTP servers wait for.
std::string SOAPRequest(int style, const TControlTarget& target, std::string_view serviceType,
                        std::string_view action, std::string_view body);

// True for the service types of the WAN connection services the mapper
// talks to: WANIPConnection (any version) and WANPPPConnection.
bool IsConnectionService(std::string_view serviceType);

// The status in an HTTP status line: its characters 10 to 12, or 400 when
// they are not a number.
int StatusFromLine(std::string_view statusLine);

// SOAP bodies. protocol is "TCP" or "UDP"; client is the internal client's
// dotted address.
std::string BodyG1();
std::string BodyG2(std::string_view serviceType);
std::string BodyA1(std::string_view serviceType, int external, int internal, std::string_view protocol,
                   std::string_view client);
std::string BodyA2(std::string_view serviceType, int external, int internal, std::string_view protocol,
                   std::string_view client);
std::string BodyA3(std::string_view serviceType, int external, int internal, std::string_view protocol,
                   std::string_view client);
std::string BodyD1(std::string_view serviceType, int external, std::string_view protocol);
std::string BodyD2(std::string_view serviceType, int external, std::string_view protocol);

}  // namespace fwp::upnp
