// The router's answer to the search: at most the bytes one receive takes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "connect/upnp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t MaxAnswerBytes = 2048;  // what the mapper's receive takes
    const std::string_view answer(reinterpret_cast<const char*>(data),
                                  size < MaxAnswerBytes ? size : MaxAnswerBytes);
    const std::string location = fwp::upnp::LocationFromAnswer(answer);
    // The location names where the description is fetched from; its host and
    // port are taken apart the same way as a control URL's.
    fwp::upnp::SplitControlURL(location);
    return 0;
}
