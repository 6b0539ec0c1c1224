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

// The value of one hexadecimal digit (either case), or -1 for any other character.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace fwp
