#include "crypto/packet_transform.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/blowfish.h"
#include "crypto/md5.h"
#include "tests/crypto/test_bytes.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using test::FromHex;
using test::RandomBytes;
using test::TextLike;
using test::ToHex;

// A realistic key: the digest text of an address line, taken as 32 key bytes.
const std::string DigestKey = "10b1a7a16ee92beb87bfc8bdfdf0ca82";  // MD5 of "192.168.0.10:4006"

std::string Xor(std::string_view a, std::string_view b) {
    std::string result(a);
    for (std::size_t i = 0; i < result.size(); ++i)
        result[i] = static_cast<char>(result[i] ^ b[i]);
    return result;
}

const std::string IV = FromHex("3C9A0E71D428B65F");

// Undoes CBC by hand over a bare Blowfish keyed by the key text's bytes,
// keeping the padding.
std::string HandDecipher(std::string_view key, std::string_view cipherText) {
    TBlowFish cipher;
    cipher.SetKey(reinterpret_cast<const std::uint8_t*>(key.data()), static_cast<std::int32_t>(key.size()));
    std::string plain;
    std::string previous = IV;
    for (std::size_t at = 0; at + 8 <= cipherText.size(); at += 8) {
        std::string block(cipherText.substr(at, 8));
        CipherDecrypt(cipher, reinterpret_cast<const std::uint8_t*>(block.data()),
                      reinterpret_cast<std::uint8_t*>(block.data()));
        plain += Xor(block, previous);
        previous = cipherText.substr(at, 8);
    }
    return plain;
}

// ---- compression ----

struct TZlibCase {
    std::string data;
    std::string_view stream;  // hexadecimal, from an independent zlib binding at level 1
};

class ZlibVectors : public testing::TestWithParam<TZlibCase> {};

TEST_P(ZlibVectors, CompressPacketGivesTheLevelOneZlibStream) {
    EXPECT_EQ(ToHex(CompressPacket(GetParam().data)), GetParam().stream);
}

TEST_P(ZlibVectors, DecompressPacketGivesTheBytesBack) {
    const std::string stream = FromHex(GetParam().stream);
    const auto raw = static_cast<std::int64_t>(GetParam().data.size());
    EXPECT_EQ(DecompressPacket(stream, raw), GetParam().data);
}

INSTANTIATE_TEST_SUITE_P(
    Known, ZlibVectors,
    testing::Values(TZlibCase{"", "7801030000000001"},  // empty fixed block, Adler-32 = 1
                    TZlibCase{"a", "78014B040000620062"},
                    TZlibCase{"hello hello hello hello", "7801CB48CDC9C957C8402701680308B1"}));

TEST(PacketCompression, DecompressGivesTheFirstRawLengthBytesAndLooksNoFurther) {
    // Like reading rawLength bytes from a decompressing stream: what lies
    // beyond them, the checksum included, is not examined.
    const std::string good = FromHex("7801CB48CDC9C957C8402701680308B1");  // "hello hello hello hello"
    std::string badChecksum = good;
    badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
    EXPECT_EQ(DecompressPacket(good, 5), "hello");
    EXPECT_EQ(DecompressPacket(FromHex("7801030000000001"), 0), "");
    EXPECT_EQ(DecompressPacket(badChecksum, 23), "hello hello hello hello");
    EXPECT_EQ(DecompressPacket(good.substr(0, good.size() - 4), 23), "hello hello hello hello");
}

TEST(PacketCompression, BadStreamsRaiseError) {
    const std::string good = FromHex("7801CB48CDC9C957C8402701680308B1");  // "hello hello hello hello"
    struct TBadCase {
        const char* what;
        std::string stream;
        std::int64_t raw;
    };
    std::string badHeader = good;
    badHeader[1] = 0x02;  // header check bits no longer divide by 31
    std::string badChecksum = good;
    badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
    const TBadCase cases[] = {
        {"raw length beyond the stream", good, 24},
        {"cut in the middle", good.substr(0, 8), 23},
        {"bad header", badHeader, 23},
        {"bad checksum", badChecksum, 24},
        {"not zlib at all", "plain text, no stream", 10},
        {"empty payload", "", 1},
        {"negative raw length", good, -1},
        {"huge raw length", good, std::int64_t{1} << 50},
    };
    for (const TBadCase& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            DecompressPacket(c.stream, c.raw);
            ADD_FAILURE() << "no error";
        } catch (const TError& error) {
            EXPECT_STREQ(error.what(), "error");
        }
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
        EXPECT_EQ(ToHex(HandDecipher(DigestKey, cipherText)), ToHex(c.data) + std::string(c.padding));
    }
}

TEST(PacketCipher, FirstBlockMeetsPublishedVectorsThroughTheFixedIV) {
    // The first ciphertext block is E(data XOR IV). Choosing data = P XOR IV
    // for a published pair (key, P) must give its published ciphertext.
    struct TKnown {
        std::string key;
        std::string plain;
        std::string_view cipher;
    };
    const TKnown cases[] = {
        // 32 key bytes 0123456789ABCDEF x 4: same schedule as the 8-byte key.
        {FromHex("0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF"),
         FromHex("1111111111111111"), "61F9C3802281B096"},
        {"abcdefghijklmnopqrstuvwxyz", "BLOWFISH", "324ED0FEF413A203"},
    };
    for (const TKnown& c : cases) {
        SCOPED_TRACE(c.cipher);
        const std::string cipherText = EncryptPacket(Xor(c.plain, IV), c.key);
        ASSERT_EQ(cipherText.size(), 16u);
        EXPECT_EQ(ToHex(cipherText.substr(0, 8)), c.cipher);
    }
    // A digest text keys with its 32 characters, not with the 16 bytes it spells.
    const std::string cipherText =
        EncryptPacket(Xor(FromHex("1111111111111111"), IV), "0123456789abcdef0123456789abcdef");
    EXPECT_NE(ToHex(cipherText.substr(0, 8)), "61F9C3802281B096");
}

TEST(PacketCipher, DecryptUndoesEncryptAtEveryLength) {
    for (std::size_t length = 0; length <= 70; ++length) {
        SCOPED_TRACE(length);
        const std::string data = RandomBytes(length, static_cast<std::uint32_t>(length));
        const std::string cipherText = EncryptPacket(data, DigestKey);
        EXPECT_EQ(cipherText.size(), (length / 8 + 1) * 8);
        EXPECT_EQ(DecryptPacket(cipherText, DigestKey), data);
    }
}

TEST(PacketCipher, WrongKeyGivesSomeLengthWithoutError) {
    const std::string otherKey = DigestToHex(MD5OfString("0.0.0.0"));
    for (std::size_t length : {0u, 1u, 8u, 100u, 4096u}) {
        SCOPED_TRACE(length);
        const std::string cipherText = EncryptPacket(RandomBytes(length, 5), DigestKey);
        std::string plain;
        ASSERT_NO_THROW(plain = DecryptPacket(cipherText, otherKey));
        EXPECT_LE(plain.size(), cipherText.size());
    }
}

TEST(PacketCipher, EqualPacketsUnderOneKeyGiveEqualCiphertext) {
    const std::string data = TextLike(1000, 3);
    EXPECT_EQ(EncryptPacket(data, DigestKey), EncryptPacket(data, DigestKey));
    EXPECT_NE(EncryptPacket(data, DigestKey), EncryptPacket(data, DigestToHex(MD5OfString("0.0.0.0"))));
}

TEST(PacketCipher, CiphertextThatIsNotWholeBlocksIsRefused) {
    const std::string cipherText = EncryptPacket("some packet", DigestKey);
    for (std::size_t cut : {1u, 7u, 9u, 15u})
        EXPECT_THROW(DecryptPacket(cipherText.substr(0, cut), DigestKey), TCryptAssertion) << cut;
}

TEST(PacketCipher, EmptyKeyIsRefused) {
    EXPECT_THROW(EncryptPacket("data", ""), TCryptAssertion);
    EXPECT_THROW(TPacketEncipherer(""), TCryptAssertion);
    EXPECT_THROW(MakeDecipherDecoder(""), TCryptAssertion);
}

TEST(PacketCipher, ReusedEnciphererGivesTheSameCiphertextAsEncryptPacket) {
    TPacketEncipherer encipherer(DigestKey);
    std::string out;
    const std::size_t sizes[] = {0, 1, 7, 8, 9, 15, 16, 17, 1000, 65536, 65543, 3, 0, 300001};
    std::uint32_t seed = 40;
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string data = RandomBytes(size, seed++);
        encipherer.Encrypt(data, out);
        EXPECT_EQ(out, EncryptPacket(data, DigestKey));
    }
}

}  // namespace
}  // namespace fwp
