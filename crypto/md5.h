#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fwp {

using TMD5Digest = std::array<std::uint8_t, 16>;

// The MD5 message digest of RFC 1321. The handshake hashes address lines with
// it; the resulting digest texts key the packet cipher.
class TMD5Context {
public:
    TMD5Context() { Init(); }

    // Starts a new message.
    void Init();
    // Adds length bytes to the message.
    void Update(const std::uint8_t* data, std::size_t length);
    void Update(std::string_view bytes);
    // Pads the message, returns its digest and wipes the context; call Init
    // before hashing another message.
    TMD5Digest Final();

private:
    void Transform(const std::uint8_t* block);

    std::array<std::uint32_t, 4> m_state{};
    std::array<std::uint32_t, 2> m_bitCount{};  // message length in bits, low word first
    std::array<std::uint8_t, 64> m_buffer{};
};

// Digest of all bytes of the text, exactly as stored (no terminating zero).
TMD5Digest MD5OfString(std::string_view bytes);

// The 32-character digest text: two lowercase hexadecimal digits per byte,
// high nibble first, bytes in order.
std::string DigestToHex(const TMD5Digest& digest);

}  // namespace fwp
