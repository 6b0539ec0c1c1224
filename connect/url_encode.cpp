#include "connect/url_encode.h"

namespace fwp {

std::string URLEncode(std::string_view text) {
    constexpr char Hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool escape =
            byte >= 0x80 || c == ' ' || c == '*' || c == '#' || c == '%' || c == '<' || c == '>';
        if (escape) {
            encoded += '%';
            encoded += Hex[byte >> 4];
            encoded += Hex[byte & 0x0F];
        } else {
            encoded += c;
        }
    }
    return encoded;
}

}  // namespace fwp
