#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fwp {

// Reads a whole decimal integer: an optional sign and ASCII digits, nothing
// else, within the type's range. Anything else gives no value.
std::optional<std::int64_t> ParseInt64(std::string_view text);
std::optional<std::int32_t> ParseInt32(std::string_view text);

}  // namespace fwp
