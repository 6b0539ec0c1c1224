// The easy connection service's answer to a look-up.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "connect/easy_service.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string ip;
    int port = 0;
    fwp::ReadLookupReply(std::string_view(reinterpret_cast<const char*>(data), size), ip, port);
    return 0;
}
