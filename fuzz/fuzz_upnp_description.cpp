// The router's device description. The first line of the input is the
// location the description came from, the rest the description itself; the
// control URL found is then taken apart and put into each request header.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "connect/upnp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t lineEnd = input.find('\n');
    const std::string_view location = input.substr(0, lineEnd);
    const std::string_view xml =
        lineEnd == std::string_view::npos ? std::string_view() : input.substr(lineEnd + 1);
    std::string controlURL;
    std::string serviceType;
    if (!fwp::upnp::ParseDeviceDescription(location, xml, controlURL, serviceType))
        return 0;
    const fwp::upnp::TControlTarget target = fwp::upnp::SplitControlURL(controlURL);
    for (int style = 1; style <= 3; ++style)
        fwp::upnp::SOAPHeader(style, target, serviceType, "GetExternalIPAddress", 300);
    return 0;
}
