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
// connection device; on failure leaves both empty and returns false.
bool ParseDeviceDescription(std::string_view location, std::string_view xml, std::string& controlURL,
                            std::string& serviceType);

// A control URL taken apart the way the requests use it.
struct TControlTarget {
    std::string Host;
    std::string Port;  // "80" when the URL names none
    std::string Path;  // from the "/" after the host on, at most 255 characters
};
TControlTarget SplitControlURL(std::string_view controlURL);

// The header of style 1, 2 or 3, without the empty line that ends it.
std::string SOAPHeader(int style, const TControlTarget& target, std::string_view serviceType,
                       std::string_view action, std::size_t bodyLength);

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
