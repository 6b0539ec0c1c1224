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

// True when the bytes are a complete, valid CP932 text.
bool IsValidCp932(std::string_view cp932);

}  // namespace fwp::codec
