#include "crypto/blowfish.h"

#include <array>
#include <cstring>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/cipher.h"

namespace fwp {
namespace {

using TBlock = std::array<std::uint8_t, 8>;

std::vector<std::uint8_t> FromHex(std::string_view hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

TBlock BlockFromHex(std::string_view hex) {
    const auto bytes = FromHex(hex);
    TBlock block{};
    std::copy(bytes.begin(), bytes.end(), block.begin());
    return block;
}

std::string ToHex(const std::uint8_t* bytes, std::size_t length) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 0x0F];
    }
    return text;
}

struct TBlowFishVector {
    std::string key;  // hexadecimal
    std::string_view plain;
    std::string_view cipher;
};

void PrintTo(const TBlowFishVector& vector, std::ostream* os) {
    *os << vector.key << " / " << vector.plain;
}

void SetKey(TBlowFish& cipher, const std::vector<std::uint8_t>& key) {
    cipher.SetKey(key.data(), static_cast<std::int32_t>(key.size()));
}

class BlowFishVectors : public testing::TestWithParam<TBlowFishVector> {};

TEST_P(BlowFishVectors, EncryptsPlainBlockToPublishedCiphertext) {
    TBlowFish cipher;
    SetKey(cipher, FromHex(GetParam().key));
    TBlock block = BlockFromHex(GetParam().plain);
    CipherEncrypt(cipher, block.data(), block.data());
    EXPECT_EQ(ToHex(block.data(), block.size()), GetParam().cipher);
}

TEST_P(BlowFishVectors, DecryptsPublishedCiphertextToPlainBlock) {
    TBlowFish cipher;
    SetKey(cipher, FromHex(GetParam().key));
    const TBlock in = BlockFromHex(GetParam().cipher);
    TBlock out{};
    CipherDecrypt(cipher, in.data(), out.data());
    EXPECT_EQ(ToHex(out.data(), out.size()), GetParam().plain);
}

// The published variable-key test vectors for 8-byte keys.
const std::vector<TBlowFishVector> VariableKeyVectors = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

// The published set-key vectors: plaintext FEDCBA9876543210 under the first
// 1 to 24 bytes of F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677.
const std::string_view SetKeyMaterial = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
const std::string_view SetKeyCiphers[24] = {
    "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
    "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
    "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
    "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
    "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
};

std::vector<TBlowFishVector> SetKeyVectors() {
    std::vector<TBlowFishVector> vectors;
    for (std::size_t length = 1; length <= 24; ++length)
        vectors.push_back({std::string(SetKeyMaterial.substr(0, 2 * length)), "FEDCBA9876543210",
                           SetKeyCiphers[length - 1]});
    return vectors;
}

std::string Repeat(std::string_view text, int times) {
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

// 32-byte keys. The schedule takes 72 key bytes, cycling through the key, so a
// 32-byte key made of copies of a 4-, 8- or 16-byte key gives the same tables
// as that key and must meet its published vector.
const std::vector<TBlowFishVector> LongKeyVectors = {
    {Repeat("0123456789ABCDEF", 4), "1111111111111111", "61F9C3802281B096"},
    {Repeat("FEDCBA9876543210", 4), "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {Repeat("F0E1D2C3", 8), "FEDCBA9876543210", "BE1E639408640F05"},
    {Repeat("F0E1D2C3B4A5968778695A4B3C2D1E0F", 2), "FEDCBA9876543210", "93142887EE3BE15C"},
    // Text keys of the published examples: "abcdefghijklmnopqrstuvwxyz" with "BLOWFISH".
    {"6162636465666768696A6B6C6D6E6F707172737475767778797A", "424C4F5746495348", "324ED0FEF413A203"},
    // "Who is John Galt?" with FEDCBA9876543210.
    {"57686F206973204A6F686E2047616C743F", "FEDCBA9876543210", "CC91732B8022F684"},
};

INSTANTIATE_TEST_SUITE_P(VariableKey, BlowFishVectors, testing::ValuesIn(VariableKeyVectors));
INSTANTIATE_TEST_SUITE_P(SetKey, BlowFishVectors, testing::ValuesIn(SetKeyVectors()));
INSTANTIATE_TEST_SUITE_P(LongKey, BlowFishVectors, testing::ValuesIn(LongKeyVectors));

TEST(BlowFish, LoadsBytesZeroToThreeAsTheBigEndianLeftWord) {
    TBlowFish cipher;
    const TBlock bytes = BlockFromHex("0123456789ABCDEF");
    TBlock internal{};
    cipher.LoadBlock(bytes.data(), internal.data());
    std::uint32_t words[2];
    std::memcpy(words, internal.data(), sizeof words);
    EXPECT_EQ(words[0], 0x01234567u);
    EXPECT_EQ(words[1], 0x89ABCDEFu);
    TBlock back{};
    cipher.StoreBlock(internal.data(), back.data());
    EXPECT_EQ(back, bytes);
}

TEST(BlowFish, WordRoundsMeetThePublishedAllZeroVector) {
    TBlowFish cipher;
    SetKey(cipher, std::vector<std::uint8_t>(8, 0));
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    cipher.EncryptWords(left, right);
    EXPECT_EQ(left, 0x4EF99745u);
    EXPECT_EQ(right, 0x6198DD78u);
}

TEST(BlowFish, EmptyKeyIsRefused) {
    TBlowFish cipher;
    const std::uint8_t key[1] = {0};
    EXPECT_THROW(cipher.SetKey(key, 0), TCryptAssertion);
}

TEST(BlowFish, KeyingAgainReplacesTheFormerSchedule) {
    TBlowFish cipher;
    const auto first = FromHex("FFFFFFFFFFFFFFFF");
    const auto second = FromHex("0000000000000000");
    cipher.SetKey(first.data(), 8);
    cipher.SetKey(second.data(), 8);
    TBlock block{};
    CipherEncrypt(cipher, block.data(), block.data());
    EXPECT_EQ(ToHex(block.data(), block.size()), "4EF997456198DD78");
}

TEST(BlowFish, ChainedRunOverBlocksMatchesHandChainedPublishedBlocks) {
    // With the all-zero key, CBC from an all-zero IV over two zero blocks gives
    // E(0) = 4EF997456198DD78 and then E(4EF997456198DD78); the second is found
    // by enciphering the first output again through the single-block path.
    TBlowFish cipher;
    SetKey(cipher, std::vector<std::uint8_t>(8, 0));
    std::array<std::uint8_t, 16> text{};
    TBlockWords chain;
    cipher.EncryptCBC(text.data(), text.data(), 2, chain);
    EXPECT_EQ(ToHex(text.data(), 8), "4EF997456198DD78");
    std::uint32_t left = 0x4EF99745;
    std::uint32_t right = 0x6198DD78;
    cipher.EncryptWords(left, right);
    EXPECT_EQ(chain.Left, left);
    EXPECT_EQ(chain.Right, right);

    TBlockWords decipherChain;
    cipher.DecryptCBC(text.data(), text.data(), 2, decipherChain);
    EXPECT_EQ(ToHex(text.data(), text.size()), std::string(32, '0'));
}

}  // namespace
}  // namespace fwp
