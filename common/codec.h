#pragma once

#include <string>
#include <string_view>

// The one place where text changes its encoding. Bytes from and to the peer,
// config.ini and the saved log are CP932 (Shift-JIS); everything the program
// shows, and file names on disk, are UTF-8.
namespace fwp::codec {

// Decodes CP932 bytes. A byte sequence that does not decode becomes U+FFFD
// (one mark per undecodable byte), so nothing is dropped silently.
std::string Cp932ToUtf8(std::string_view cp932);

// Encodes UTF-8 text as CP932. A character CP932 cannot hold, or a byte that is
// not valid UTF-8, becomes "?"; *exact is cleared when that happened.
std::string Utf8ToCp932(std::string_view utf8, bool* exact = nullptr);

// True for a byte that begins a two-byte CP932 character.
inline bool IsCp932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Length of the valid UTF-8 character at the start of text (not empty), or 0.
std::size_t ValidUtf8Length(std::string_view text);

// At most limit bytes of UTF-8 text, never part of a character.
std::string_view CutUtf8(std::string_view text, std::size_t limit);

// True when the bytes are a complete, valid CP932 text.
bool IsValidCp932(std::string_view cp932);

// The marked form carries any text losslessly where CP932 bytes are expected:
// the mark EF BB BF, then the UTF-8 text with "%", control characters, DEL and
// bytes that are no UTF-8 written as "%" and two upper-case hexadecimal digits.
// EF begins no CP932 character, so no CP932 text is ever taken for it.
constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

// Always the marked form of utf8.
std::string Utf8ToMarked(std::string_view utf8);

// Plain CP932 when utf8 converts to CP932 and back unchanged and holds no
// control character; the marked form otherwise.
std::string Utf8ToCp932OrMarked(std::string_view utf8);

// Reads either form: marked bytes are unescaped (a byte that is no UTF-8 and
// was not escaped becomes U+FFFD), anything else is decoded as CP932.
std::string Cp932OrMarkedToUtf8(std::string_view bytes);

}  // namespace fwp::codec
