#pragma once

#include <cstdint>
#include <string>

namespace fwp {

// "m:s" below an hour, "h: m:s" from there; plain numbers without leading
// zeros: 65 gives "1:5", 3725 gives "1h 2:5".
std::string FormatSeconds(std::uint32_t seconds);

}  // namespace fwp
