#include "crypto/md5.h"

#include <algorithm>
#include <cstring>

namespace fwp {
namespace {

constexpr std::uint32_t RotateLeft(std::uint32_t value, int count) {
    return (value << count) | (value >> (32 - count));
}

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (~x & z);
}
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & z) | (y & ~z);
}
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

// One step of a round: a := b + ((a + f(b, c, d) + x + t) <<< s).
template <std::uint32_t (*Fn)(std::uint32_t, std::uint32_t, std::uint32_t)>
constexpr void Step(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t x,
                    int s, std::uint32_t t) {
    a = b + RotateLeft(a + Fn(b, c, d) + x + t, s);
}

std::uint32_t LoadLittleEndian(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void StoreLittleEndian(std::uint32_t value, std::uint8_t* bytes) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace

void TMD5Context::Init() {
    m_state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    m_bitCount = {0, 0};
    m_buffer.fill(0);
}

void TMD5Context::Update(std::string_view bytes) {
    Update(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

void TMD5Context::Update(const std::uint8_t* data, std::size_t length) {
    std::size_t used = (m_bitCount[0] >> 3) & 0x3F;  // bytes already waiting in the buffer

    // The bit count is 64 bits wide and wraps, as RFC 1321 defines it.
    const std::uint64_t bits = (static_cast<std::uint64_t>(m_bitCount[1]) << 32 | m_bitCount[0]) +
                               (static_cast<std::uint64_t>(length) << 3);
    m_bitCount[0] = static_cast<std::uint32_t>(bits);
    m_bitCount[1] = static_cast<std::uint32_t>(bits >> 32);

    std::size_t offset = 0;
    if (used > 0) {
        const std::size_t take = std::min(length, 64 - used);
        std::memcpy(m_buffer.data() + used, data, take);
        used += take;
        offset = take;
        if (used < 64)
            return;
        Transform(m_buffer.data());
    }
    for (; offset + 64 <= length; offset += 64)
        Transform(data + offset);
    if (offset < length)
        std::memcpy(m_buffer.data(), data + offset, length - offset);
}

TMD5Digest TMD5Context::Final() {
    std::array<std::uint8_t, 8> lengthBytes;
    StoreLittleEndian(m_bitCount[0], lengthBytes.data());
    StoreLittleEndian(m_bitCount[1], lengthBytes.data() + 4);

    // Pad with 0x80 and zeros to 56 bytes modulo 64, then append the bit length.
    const std::size_t used = (m_bitCount[0] >> 3) & 0x3F;
    const std::size_t padLength = used < 56 ? 56 - used : 120 - used;
    std::array<std::uint8_t, 64> padding{};
    padding[0] = 0x80;
    Update(padding.data(), padLength);
    Update(lengthBytes.data(), lengthBytes.size());

    TMD5Digest digest;
    for (std::size_t i = 0; i < 4; ++i)
        StoreLittleEndian(m_state[i], digest.data() + 4 * i);

    // Leave nothing of the message behind.
    m_state.fill(0);
    m_bitCount.fill(0);
    m_buffer.fill(0);
    return digest;
}

void TMD5Context::Transform(const std::uint8_t* block) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadLittleEndian(block + 4 * i);
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];

    // Round 1.
    Step<F>(a, b, c, d, x[0], 7, 0xd76aa478);
    Step<F>(d, a, b, c, x[1], 12, 0xe8c7b756);
    Step<F>(c, d, a, b, x[2], 17, 0x242070db);
    Step<F>(b, c, d, a, x[3], 22, 0xc1bdceee);
    Step<F>(a, b, c, d, x[4], 7, 0xf57c0faf);
    Step<F>(d, a, b, c, x[5], 12, 0x4787c62a);
    Step<F>(c, d, a, b, x[6], 17, 0xa8304613);
    Step<F>(b, c, d, a, x[7], 22, 0xfd469501);
    Step<F>(a, b, c, d, x[8], 7, 0x698098d8);
    Step<F>(d, a, b, c, x[9], 12, 0x8b44f7af);
    Step<F>(c, d, a, b, x[10], 17, 0xffff5bb1);
    Step<F>(b, c, d, a, x[11], 22, 0x895cd7be);
    Step<F>(a, b, c, d, x[12], 7, 0x6b901122);
    Step<F>(d, a, b, c, x[13], 12, 0xfd987193);
    Step<F>(c, d, a, b, x[14], 17, 0xa679438e);
    Step<F>(b, c, d, a, x[15], 22, 0x49b40821);

    // Round 2.
    Step<G>(a, b, c, d, x[1], 5, 0xf61e2562);
    Step<G>(d, a, b, c, x[6], 9, 0xc040b340);
    Step<G>(c, d, a, b, x[11], 14, 0x265e5a51);
    Step<G>(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    Step<G>(a, b, c, d, x[5], 5, 0xd62f105d);
    Step<G>(d, a, b, c, x[10], 9, 0x02441453);
    Step<G>(c, d, a, b, x[15], 14, 0xd8a1e681);
    Step<G>(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    Step<G>(a, b, c, d, x[9], 5, 0x21e1cde6);
    Step<G>(d, a, b, c, x[14], 9, 0xc33707d6);
    Step<G>(c, d, a, b, x[3], 14, 0xf4d50d87);
    Step<G>(b, c, d, a, x[8], 20, 0x455a14ed);
    Step<G>(a, b, c, d, x[13], 5, 0xa9e3e905);
    Step<G>(d, a, b, c, x[2], 9, 0xfcefa3f8);
    Step<G>(c, d, a, b, x[7], 14, 0x676f02d9);
    Step<G>(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    // Round 3.
    Step<H>(a, b, c, d, x[5], 4, 0xfffa3942);
    Step<H>(d, a, b, c, x[8], 11, 0x8771f681);
    Step<H>(c, d, a, b, x[11], 16, 0x6d9d6122);
    Step<H>(b, c, d, a, x[14], 23, 0xfde5380c);
    Step<H>(a, b, c, d, x[1], 4, 0xa4beea44);
    Step<H>(d, a, b, c, x[4], 11, 0x4bdecfa9);
    Step<H>(c, d, a, b, x[7], 16, 0xf6bb4b60);
    Step<H>(b, c, d, a, x[10], 23, 0xbebfbc70);
    Step<H>(a, b, c, d, x[13], 4, 0x289b7ec6);
    Step<H>(d, a, b, c, x[0], 11, 0xeaa127fa);
    Step<H>(c, d, a, b, x[3], 16, 0xd4ef3085);
    Step<H>(b, c, d, a, x[6], 23, 0x04881d05);
    Step<H>(a, b, c, d, x[9], 4, 0xd9d4d039);
    Step<H>(d, a, b, c, x[12], 11, 0xe6db99e5);
    Step<H>(c, d, a, b, x[15], 16, 0x1fa27cf8);
    Step<H>(b, c, d, a, x[2], 23, 0xc4ac5665);

    // Round 4.
    Step<I>(a, b, c, d, x[0], 6, 0xf4292244);
    Step<I>(d, a, b, c, x[7], 10, 0x432aff97);
    Step<I>(c, d, a, b, x[14], 15, 0xab9423a7);
    Step<I>(b, c, d, a, x[5], 21, 0xfc93a039);
    Step<I>(a, b, c, d, x[12], 6, 0x655b59c3);
    Step<I>(d, a, b, c, x[3], 10, 0x8f0ccc92);
    Step<I>(c, d, a, b, x[10], 15, 0xffeff47d);
    Step<I>(b, c, d, a, x[1], 21, 0x85845dd1);
    Step<I>(a, b, c, d, x[8], 6, 0x6fa87e4f);
    Step<I>(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    Step<I>(c, d, a, b, x[6], 15, 0xa3014314);
    Step<I>(b, c, d, a, x[13], 21, 0x4e0811a1);
    Step<I>(a, b, c, d, x[4], 6, 0xf7537e82);
    Step<I>(d, a, b, c, x[11], 10, 0xbd3af235);
    Step<I>(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    Step<I>(b, c, d, a, x[9], 21, 0xeb86d391);

    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

TMD5Digest MD5OfString(std::string_view bytes) {
    TMD5Context context;
    context.Update(bytes);
    return context.Final();
}

std::string DigestToHex(const TMD5Digest& digest) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string text(2 * digest.size(), '0');
    for (std::size_t i = 0; i < digest.size(); ++i) {
        text[2 * i] = Digits[digest[i] >> 4];
        text[2 * i + 1] = Digits[digest[i] & 0x0F];
    }
    return text;
}

}  // namespace fwp
