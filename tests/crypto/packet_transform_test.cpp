#include "crypto/packet_transform.h"

#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/blowfish.h"
#include "crypto/cipher.h"
#include "tests/crypto/test_bytes.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using test::ErrorText;
using test::FromHex;
using test::HelloStream;
using test::HelloText;
using test::RandomBytes;
using test::TextLike;
using test::ToHex;

// A realistic key: the digest text of an address line, taken as 32 key bytes.
const std::string DigestKey = "10b1a7a16ee92beb87bfc8bdfdf0ca82";  // MD5 of "192.168.0.10:4006"

const std::string IV = FromHex("3C9A0E71D428B65F");

std::string Xor(std::string_view a, std::string_view b) {
    std::string result(a);
    for (std::size_t i = 0; i < result.size(); ++i)
        result[i] = static_cast<char>(result[i] ^ b[i]);
    return result;
}

// Deciphers under Blowfish keyed by the key text's bytes, in CBC from the IV
// above, keeping the padding.
std::string DecipherKeepingPadding(std::string_view key, std::string text) {
    TCryptCBC crypt(key, new TBlowFish, reinterpret_cast<const std::uint8_t*>(IV.data()), 8,
                    TPaddingMode::pmNone, true);
    auto* bytes = reinterpret_cast<std::uint8_t*>(text.data());
    text.resize(crypt.Decrypt(bytes, bytes, text.size()));
    return text;
}

// ---- compression ----

TEST(PacketCompression, KnownDataGivesTheLevelOneZlibStreamAndBack) {
    // Streams from an independent zlib binding at level 1.
    const std::pair<std::string, std::string_view> cases[] = {
        {"", "7801030000000001"},  // empty fixed block, Adler-32 = 1
        {"a", "78014B040000620062"},
        {HelloText, "7801CB48CDC9C957C8402701680308B1"},
    };
    for (const auto& [data, stream] : cases) {
        SCOPED_TRACE(data);
        EXPECT_EQ(ToHex(CompressPacket(data)), stream);
        EXPECT_EQ(DecompressPacket(FromHex(stream), static_cast<std::int64_t>(data.size())), data);
    }
}

TEST(PacketCompression, DecompressGivesTheFirstRawLengthBytesAndLooksNoFurtherElseRaisesError) {
    // Like reading rawLength bytes from a decompressing stream: what lies
    // beyond them, the checksum included, is not examined.
    std::string badHeader = HelloStream;
    badHeader[1] = 0x02;  // header check bits no longer divide by 31
    std::string badChecksum = HelloStream;
    badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
    struct TCase {
        const char* what;
        std::string stream;
        std::int64_t raw;
        std::optional<std::string> data;  // nothing: raises "error"
    };
    const TCase cases[] = {
        {"first bytes", HelloStream, 5, "hello"},
        {"nothing wanted", test::EmptyStream, 0, ""},
        {"bad checksum not reached", badChecksum, 23, HelloText},
        {"no checksum", HelloStream.substr(0, HelloStream.size() - 4), 23, HelloText},
        {"raw length beyond the stream", HelloStream, 24, std::nullopt},
        {"cut in the middle", HelloStream.substr(0, 8), 23, std::nullopt},
        {"bad header", badHeader, 23, std::nullopt},
        {"bad checksum", badChecksum, 24, std::nullopt},
        {"not zlib at all", "plain text, no stream", 10, std::nullopt},
        {"empty payload", "", 1, std::nullopt},
        {"negative raw length", HelloStream, -1, std::nullopt},
        {"huge raw length", HelloStream, std::int64_t{1} << 50, std::nullopt},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.data)
            EXPECT_EQ(DecompressPacket(c.stream, c.raw), *c.data);
        else
            EXPECT_EQ(ErrorText([&] { DecompressPacket(c.stream, c.raw); }), "error");
    }
}

TEST(PacketCompression, ReusedCompressorGivesTheSameStreamsAsFreshOnes) {
    TPacketCompressor compressor;
    std::string out;
    // Sizes go up and down so the reused output buffer both grows and shrinks.
    const std::size_t sizes[] = {0, 1, 100, 65536, 300000, 7, 0, 131072 + 5, 12};
    std::uint32_t seed = 10;
    for (std::size_t size : sizes) {
        for (const std::string& data : {RandomBytes(size, seed), TextLike(size, seed + 1)}) {
            SCOPED_TRACE(size);
            compressor.Compress(data, out);
            EXPECT_EQ(out, CompressPacket(data));
        }
        seed += 2;
    }
}

// ---- encryption ----

TEST(PacketCipher, LastBlockIsPaddedWithBytesCountingThePadding) {
    struct TCase {
        std::string data;
        std::string_view padding;  // hexadecimal
    };
    const TCase cases[] = {
        {"", "0808080808080808"},
        {"8 bytes!", "0808080808080808"},
        {"thirteen byte", "030303"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.data);
        const std::string cipherText = EncryptPacket(c.data, DigestKey);
        EXPECT_EQ(cipherText.size(), c.data.size() + c.padding.size() / 2);
        EXPECT_EQ(ToHex(DecipherKeepingPadding(DigestKey, cipherText)),
                  ToHex(c.data) + std::string(c.padding));
    }
}

TEST(PacketCipher, FirstBlockMeetsPublishedVectorsThroughTheFixedIV) {
    // The first ciphertext block is E(data XOR IV). Choosing data = P XOR IV
    // for a published pair (key, P) must give its published ciphertext.
    const std::string text = EncryptPacket(Xor("BLOWFISH", IV), "abcdefghijklmnopqrstuvwxyz");
    ASSERT_EQ(text.size(), 16u);
    EXPECT_EQ(ToHex(text.substr(0, 8)), "324ED0FEF413A203");
    // The 32 key bytes 0123456789ABCDEF x 4 have the schedule of their first 8.
    const std::string longKey = FromHex("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF");
    const std::string block = Xor(FromHex("1111111111111111"), IV);
    EXPECT_EQ(ToHex(EncryptPacket(block, longKey).substr(0, 8)), "61F9C3802281B096");
    // A digest text keys with its 32 characters, not with the 16 bytes it spells.
    EXPECT_NE(ToHex(EncryptPacket(block, "0123456789abcdef0123456789abcdef").substr(0, 8)),
              "61F9C3802281B096");
}

TEST(PacketCipher, EmptyKeysAndPartBlocksAreRefused) {
    EXPECT_THROW(EncryptPacket("data", ""), TCryptAssertion);
    EXPECT_THROW(TPacketEncipherer(""), TCryptAssertion);
    EXPECT_THROW(MakeDecipherDecoder(""), TCryptAssertion);
    const std::string cipherText = EncryptPacket("some packet", DigestKey);
    for (std::size_t cut : {1u, 7u, 9u, 15u})
        EXPECT_THROW(DecryptPacket(cipherText.substr(0, cut), DigestKey), TCryptAssertion) << cut;
}

TEST(PacketCipher, EncipheringAgreesWithTheReusedEnciphererAndDecryptUndoesIt) {
    TPacketEncipherer encipherer(DigestKey);
    std::string out;
    // Every length up to 70, then sizes that make the reused output both grow and shrink.
    std::vector<std::size_t> sizes(71);
    std::iota(sizes.begin(), sizes.end(), 0);
    sizes.insert(sizes.end(), {1000, 65536, 65543, 3, 0, 300001});
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string data = RandomBytes(size, static_cast<std::uint32_t>(size));
        const std::string cipherText = EncryptPacket(data, DigestKey);
        EXPECT_EQ(cipherText.size(), (size / 8 + 1) * 8);
        EXPECT_EQ(DecryptPacket(cipherText, DigestKey), data);
        encipherer.Encrypt(data, out);
        EXPECT_EQ(out, cipherText);
    }
}

}  // namespace
}  // namespace fwp
