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

// At most limit bytes of UTF-8 text, never part of a character.
std::string_view CutUtf8(std::string_view text, std::size_t limit);

// True when the bytes are a complete, valid CP932 text.
bool IsValidCp932(std::string_view cp932);

}  // namespace fwp::codec
