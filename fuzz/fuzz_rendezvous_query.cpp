// The request target of a query to the rendezvous service, and the checks
// its values go through before they reach the registry.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "server/query.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace fwp::server;
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    const auto parsed = ParseQuery(target);
    if (const TQuery* query = std::get_if<TQuery>(&parsed)) {
        ParsePort(query->Port);
        IsDottedIPv4(query->Ip);
    }
    PercentDecode(target);
    return 0;
}
