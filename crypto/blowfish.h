#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/cipher.h"

namespace fwp {

// The two 32-bit halves of a Blowfish block; also a CBC chaining register.
struct TBlockWords {
    std::uint32_t Left = 0;
    std::uint32_t Right = 0;
};

// The Blowfish cipher: 64-bit blocks, 16 rounds, keys of 1 byte or more. Blocks
// are read and written big-endian (bytes 0-3 the left word, 4-7 the right), the
// byte order of the published test vectors. The internal form of a block is the
// two words in the machine's order.
class TBlowFish final : public TCipher {
public:
    static constexpr std::int32_t BlockBytes = 8;

    // An unkeyed cipher holds the initial tables, as if keyed with nothing.
    TBlowFish();

    std::string GetName() const override { return "BlowFish"; }
    std::int32_t GetBlockSize() const override { return BlockBytes; }
    // The standard key schedule; throws TCryptAssertion for an empty key.
    void SetKey(const std::uint8_t* key, std::int32_t length) override;
    void EncryptBlock(const std::uint8_t* in, std::uint8_t* out) override;
    void DecryptBlock(const std::uint8_t* in, std::uint8_t* out) override;
    void StoreBlock(const std::uint8_t* in, std::uint8_t* out) override;
    void LoadBlock(const std::uint8_t* in, std::uint8_t* out) override;

    // Word-level rounds without a virtual call, for loops over many blocks.
    void EncryptWords(std::uint32_t& left, std::uint32_t& right) const;
    void DecryptWords(std::uint32_t& left, std::uint32_t& right) const;

    // CBC over whole blocks of bytes. chain holds the previous ciphertext block
    // (the IV at the start) and is left at the last one, so a long run can be
    // split into calls at any block boundary. in and out may be the same buffer.
    void EncryptCBC(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks, TBlockWords& chain) const;
    void DecryptCBC(const std::uint8_t* in, std::uint8_t* out, std::size_t blocks, TBlockWords& chain) const;

    static std::uint32_t LoadBigEndian(const std::uint8_t* bytes) {
        return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
               static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
    }
    static void StoreBigEndian(std::uint32_t value, std::uint8_t* bytes) {
        bytes[0] = static_cast<std::uint8_t>(value >> 24);
        bytes[1] = static_cast<std::uint8_t>(value >> 16);
        bytes[2] = static_cast<std::uint8_t>(value >> 8);
        bytes[3] = static_cast<std::uint8_t>(value);
    }

private:
    std::uint32_t Mix(std::uint32_t x) const {
        return ((m_s[0][x >> 24] + m_s[1][(x >> 16) & 0xFF]) ^ m_s[2][(x >> 8) & 0xFF]) + m_s[3][x & 0xFF];
    }

    std::array<std::uint32_t, 18> m_p;
    std::array<std::array<std::uint32_t, 256>, 4> m_s;
};

// Inline because the chaining loops of other files call them once per block.
inline void TBlowFish::EncryptWords(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left ^ m_p[0];
    std::uint32_t r = right;
#pragma GCC unroll 8
    for (int i = 1; i < 17; i += 2) {
        r ^= Mix(l) ^ m_p[i];
        l ^= Mix(r) ^ m_p[i + 1];
    }
    left = r ^ m_p[17];
    right = l;
}

inline void TBlowFish::DecryptWords(std::uint32_t& left, std::uint32_t& right) const {
    std::uint32_t l = left ^ m_p[17];
    std::uint32_t r = right;
#pragma GCC unroll 8
    for (int i = 16; i > 0; i -= 2) {
        r ^= Mix(l) ^ m_p[i];
        l ^= Mix(r) ^ m_p[i - 1];
    }
    left = r ^ m_p[0];
    right = l;
}

}  // namespace fwp
