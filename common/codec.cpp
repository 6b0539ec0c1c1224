#include "common/codec.h"

#include <cerrno>

#include <iconv.h>

#include "common/numbers.h"

namespace fwp::codec {
namespace {

constexpr std::string_view ReplacementMark = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

bool IsAscii(std::string_view text) {
    for (const unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

// Length of the UTF-8 character that starts with lead (1 for a stray byte).
std::size_t Utf8CharLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8)
        return 4;
    if (lead >= 0xE0)
        return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

// Runs in through iconv. At a sequence that does not convert, appends mark and
// skips skipLength(first byte) bytes of input. Returns false if anything was marked.
// One descriptor per call keeps the functions free of shared state.
bool Convert(const char* to, const char* from, std::string_view in, std::string_view mark,
             std::size_t (*skipLength)(unsigned char), std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        out.assign(in);
        return false;
    }
    out.clear();
    out.reserve(in.size() * 3 / 2 + 4);
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    bool exact = true;
    char buffer[4096];
    while (srcLeft > 0) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG)
            continue;
        // EILSEQ, or EINVAL for a sequence cut off at the end.
        exact = false;
        out.append(mark);
        std::size_t skip = skipLength(static_cast<unsigned char>(*src));
        if (skip > srcLeft)
            skip = srcLeft;
        src += skip;
        srcLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return exact;
}

std::size_t OneByte(unsigned char) {
    return 1;
}

bool HasControl(std::string_view text) {
    for (const unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

}  // namespace

std::size_t ValidUtf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
    return length;
}

std::string Cp932ToUtf8(std::string_view cp932) {
    if (IsAscii(cp932))
        return std::string(cp932);
    std::string out;
    Convert("UTF-8", "CP932", cp932, ReplacementMark, OneByte, out);
    return out;
}

std::string Utf8ToCp932(std::string_view utf8, bool* exact) {
    if (exact)
        *exact = true;
    if (IsAscii(utf8))
        return std::string(utf8);
    std::string out;
    const bool ok = Convert("CP932", "UTF-8", utf8, "?", Utf8CharLength, out);
    if (exact)
        *exact = ok;
    return out;
}

std::string_view CutUtf8(std::string_view text, std::size_t limit) {
    if (text.size() <= limit)
        return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

bool IsValidCp932(std::string_view cp932) {
    if (IsAscii(cp932))
        return true;
    std::string out;
    return Convert("UTF-8", "CP932", cp932, ReplacementMark, OneByte, out);
}

std::string Utf8ToMarked(std::string_view utf8) {
    constexpr char hexDigits[] = "0123456789ABCDEF";
    std::string out(Utf8Mark);
    while (!utf8.empty()) {
        const std::size_t length = ValidUtf8Length(utf8);
        const auto first = static_cast<unsigned char>(utf8.front());
        if (length == 0 || (length == 1 && (first < 0x20 || first == 0x7F || first == '%'))) {
            out += '%';
            out += hexDigits[first >> 4];
            out += hexDigits[first & 0x0F];
            utf8.remove_prefix(1);
        } else {
            out += utf8.substr(0, length);
            utf8.remove_prefix(length);
        }
    }
    return out;
}

std::string Utf8ToCp932OrMarked(std::string_view utf8) {
    bool exact = false;
    std::string cp932 = Utf8ToCp932(utf8, &exact);
    if (exact && !HasControl(utf8) && Cp932ToUtf8(cp932) == utf8)
        return cp932;
    return Utf8ToMarked(utf8);
}

std::string Cp932OrMarkedToUtf8(std::string_view bytes) {
    if (!bytes.starts_with(Utf8Mark))
        return Cp932ToUtf8(bytes);
    bytes.remove_prefix(Utf8Mark.size());
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        if (bytes.size() >= 3 && bytes[0] == '%' && HexValue(bytes[1]) >= 0 && HexValue(bytes[2]) >= 0) {
            text += static_cast<char>(HexValue(bytes[1]) * 16 + HexValue(bytes[2]));
            bytes.remove_prefix(3);
            continue;
        }
        const std::size_t length = ValidUtf8Length(bytes);
        if (length == 0) {
            text += ReplacementMark;
            bytes.remove_prefix(1);
        } else {
            text += bytes.substr(0, length);
            bytes.remove_prefix(length);
        }
    }
    return text;
}

}  // namespace fwp::codec
