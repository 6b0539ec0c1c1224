#include "crypto/blowfish.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "crypto/cipher.h"
#include "tests/crypto/test_bytes.h"

namespace fwp {
namespace {

using test::FromHex;
using test::ToHex;

// Keys the cipher with the bytes spelled by hex.
void SetKey(TBlowFish& cipher, std::string_view hex) {
    const std::string key = FromHex(hex);
    cipher.SetKey(reinterpret_cast<const std::uint8_t*>(key.data()), static_cast<std::int32_t>(key.size()));
}

// One block through CipherEncrypt or CipherDecrypt, in and out as hexadecimal.
std::string RunBlock(TBlowFish& cipher, std::string_view hex, bool encrypt) {
    std::string block = FromHex(hex);
    auto* bytes = reinterpret_cast<std::uint8_t*>(block.data());
    if (encrypt)
        CipherEncrypt(cipher, bytes, bytes);
    else
        CipherDecrypt(cipher, bytes, bytes);
    return ToHex(block);
}

struct TVector {
    std::string key;  // hexadecimal
    std::string_view plain;
    std::string_view cipher;
};

// Enciphers the plain block under the key to the expected ciphertext and back.
void ExpectVector(const TVector& vector) {
    SCOPED_TRACE(vector.key + " / " + std::string(vector.plain));
    TBlowFish cipher;
    SetKey(cipher, vector.key);
    EXPECT_EQ(RunBlock(cipher, vector.plain, true), vector.cipher);
    EXPECT_EQ(RunBlock(cipher, vector.cipher, false), vector.plain);
}

TEST(BlowFish, EightByteKeysMeetThePublishedVariableKeyVectors) {
    // The rows with patterned keys and blocks (the key schedule spreads any
    // table fault over every row).
    const TVector vectors[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
        {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
        {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
        {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
        {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
        {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
        {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
    };
    for (const TVector& vector : vectors)
        ExpectVector(vector);
}

TEST(BlowFish, KeysOfOneTo24BytesMeetThePublishedSetKeyVectors) {
    // Plaintext FEDCBA9876543210 under the first 1 to 24 bytes of this material.
    const std::string_view material = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
    const std::string_view ciphers[24] = {
        "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
        "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
        "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
        "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
        "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
    };
    for (std::size_t length = 1; length <= 24; ++length)
        ExpectVector({std::string(material.substr(0, 2 * length)), "FEDCBA9876543210", ciphers[length - 1]});
}

std::string Repeat(std::string_view text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

TEST(BlowFish, LongKeysMeetTheVectorsOfTheKeysTheyRepeat) {
    // The schedule takes 72 key bytes, cycling through the key, so a 32-byte
    // key made of copies of a 4-, 8- or 16-byte key gives the same tables as
    // that key and must meet its published vector.
    const TVector vectors[] = {
        {Repeat("0123456789ABCDEF", 4), "1111111111111111", "61F9C3802281B096"},
        {Repeat("FEDCBA9876543210", 4), "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
        {Repeat("F0E1D2C3", 8), "FEDCBA9876543210", "BE1E639408640F05"},
        {Repeat("F0E1D2C3B4A5968778695A4B3C2D1E0F", 2), "FEDCBA9876543210", "93142887EE3BE15C"},
        // Text keys of the published examples: "abcdefghijklmnopqrstuvwxyz" with "BLOWFISH".
        {"6162636465666768696A6B6C6D6E6F707172737475767778797A", "424C4F5746495348", "324ED0FEF413A203"},
        // "Who is John Galt?" with FEDCBA9876543210.
        {"57686F206973204A6F686E2047616C743F", "FEDCBA9876543210", "CC91732B8022F684"},
    };
    for (const TVector& vector : vectors)
        ExpectVector(vector);
}

TEST(BlowFish, KeyingAgainReplacesTheFormerSchedule) {
    TBlowFish cipher;
    SetKey(cipher, "FFFFFFFFFFFFFFFF");
    SetKey(cipher, "0000000000000000");
    EXPECT_EQ(RunBlock(cipher, "0000000000000000", true), "4EF997456198DD78");
}

TEST(BlowFish, ChainedRunOverBlocksMatchesHandChainedPublishedBlocks) {
    // With the all-zero key, CBC from an all-zero IV over two zero blocks gives
    // E(0) = 4EF997456198DD78 and then E(4EF997456198DD78); the second is found
    // by enciphering the first output again through the single-block path.
    TBlowFish cipher;
    SetKey(cipher, "0000000000000000");
    std::array<std::uint8_t, 16> text{};
    TBlockWords chain;
    cipher.EncryptCBC(text.data(), text.data(), 2, chain);
    const std::string cipherText(reinterpret_cast<const char*>(text.data()), text.size());
    EXPECT_EQ(ToHex(cipherText), "4EF997456198DD78" + RunBlock(cipher, "4EF997456198DD78", true));
    EXPECT_EQ(chain.Left, TBlowFish::LoadBigEndian(text.data() + 8));
    EXPECT_EQ(chain.Right, TBlowFish::LoadBigEndian(text.data() + 12));

    TBlockWords decipherChain;
    cipher.DecryptCBC(text.data(), text.data(), 2, decipherChain);
    EXPECT_EQ(text, (std::array<std::uint8_t, 16>{}));
}

}  // namespace
}  // namespace fwp
