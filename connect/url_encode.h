#pragma once

#include <string>
#include <string_view>

namespace fwp {

// Escapes bytes for a query string the way the easy connection service reads
// them: space, "*", "#", "%", "<", ">" and every byte from 0x80 up become "%"
// and two upper-case hex digits; every other byte, "&", "=", "+", "?" and "/"
// included, is copied as it is. The text is taken as bytes, so a Japanese
// name must already be in CP932.
std::string URLEncode(std::string_view text);

}  // namespace fwp
