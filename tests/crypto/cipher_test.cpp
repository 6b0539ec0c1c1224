#include "crypto/cipher.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/crypto/test_bytes.h"

namespace fwp {
namespace {

using TBytes = std::vector<std::uint8_t>;

// A transparent stand-in cipher whose output can be worked out by hand:
// enciphering adds 1 to every byte, deciphering subtracts 1. It records the
// key it was given and when it is destroyed.
class TAddOneCipher final : public TCipher {
public:
    explicit TAddOneCipher(std::int32_t blockSize = 8, bool* destroyed = nullptr)
        : m_blockSize(blockSize), m_destroyed(destroyed) {}
    ~TAddOneCipher() override {
        if (m_destroyed != nullptr)
            *m_destroyed = true;
    }

    std::string GetName() const override { return "AddOne"; }
    std::int32_t GetBlockSize() const override { return m_blockSize; }
    void SetKey(const std::uint8_t* key, std::int32_t length) override { Key.assign(key, key + length); }
    void EncryptBlock(const std::uint8_t* in, std::uint8_t* out) override { Add(in, out, 1); }
    void DecryptBlock(const std::uint8_t* in, std::uint8_t* out) override { Add(in, out, -1); }

    TBytes Key;

private:
    void Add(const std::uint8_t* in, std::uint8_t* out, int amount) const {
        for (std::int32_t i = 0; i < m_blockSize; ++i)
            out[i] = static_cast<std::uint8_t>(in[i] + amount);
    }

    std::int32_t m_blockSize;
    bool* m_destroyed;
};

const TBytes ZeroIV(8, 0);

TCryptCBC MakeCrypt(TPaddingMode mode, const TBytes& iv = ZeroIV, std::int32_t blockSize = 8) {
    return TCryptCBC("key", new TAddOneCipher(blockSize), iv.data(), static_cast<std::int32_t>(iv.size()),
                     mode, true);
}

TBytes Encrypt(TCrypt& crypt, const TBytes& plain) {
    TBytes out(crypt.OutputSize(plain.size()), 0xEE);
    out.resize(crypt.Encrypt(plain.data(), out.data(), plain.size()));
    return out;
}

TBytes Decrypt(TCrypt& crypt, const TBytes& cipherText) {
    TBytes out(cipherText.size(), 0xEE);
    out.resize(crypt.Decrypt(cipherText.data(), out.data(), cipherText.size()));
    return out;
}

// The ciphertext of one block from a zero IV under the add-one cipher.
TBytes PlusOne(TBytes block) {
    for (std::uint8_t& byte : block)
        ++byte;
    return block;
}

const TBytes Abcde = {0x41, 0x42, 0x43, 0x44, 0x45};

TEST(Crypt, EachModeFillsTheLastBlockAndDecryptRemovesItsPadding) {
    struct TPadCase {
        TPaddingMode mode;
        std::size_t count;  // data bytes in the block, from Abcde
        TBytes padding;     // what follows them after padding
    };
    const TPadCase cases[] = {
        {TPaddingMode::pmCount, 5, {3, 3, 3}},
        {TPaddingMode::pmCount, 0, {8, 8, 8, 8, 8, 8, 8, 8}},
        {TPaddingMode::pmMarker, 5, {0x80, 0, 0}},
        {TPaddingMode::pmMarker, 0, {0x80, 0, 0, 0, 0, 0, 0, 0}},
        {TPaddingMode::pmZeros, 5, {0, 0, 0}},
        {TPaddingMode::pmSpaces, 5, {0x20, 0x20, 0x20}},
        {TPaddingMode::pmNone, 0, {}},
    };
    for (const TPadCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << static_cast<int>(c.mode) << ", " << c.count << " bytes");
        TCryptCBC crypt = MakeCrypt(c.mode);
        const TBytes plain(Abcde.begin(), Abcde.begin() + static_cast<std::ptrdiff_t>(c.count));
        TBytes padded = plain;
        padded.insert(padded.end(), c.padding.begin(), c.padding.end());

        TBytes block(8, 0xEE);  // bytes Pad leaves alone stay EE
        std::copy(plain.begin(), plain.end(), block.begin());
        EXPECT_EQ(crypt.Pad(block.data(), static_cast<std::int32_t>(c.count), true),
                  static_cast<std::int32_t>(c.padding.size()));
        TBytes expectedBlock = padded;
        expectedBlock.resize(8, 0xEE);
        EXPECT_EQ(block, expectedBlock);

        const TBytes cipherText = Encrypt(crypt, plain);
        EXPECT_EQ(cipherText, PlusOne(padded));
        EXPECT_EQ(Decrypt(crypt, cipherText), plain);
    }
}

TEST(Crypt, RemovingCountsThePaddingAtTheEndOfTheBlockAndAMissingMarkerIsAnError) {
    struct TUnpadCase {
        TPaddingMode mode;
        TBytes block;
        std::int32_t padding;  // -1: deciphering it raises "Crypt Error"
    };
    const TUnpadCase cases[] = {
        // Mode pmCount trusts the last byte, whatever it is.
        {TPaddingMode::pmCount, {1, 2, 3, 4, 5, 3, 3, 3}, 3},
        {TPaddingMode::pmCount, {1, 2, 3, 4, 5, 6, 7, 0}, 0},
        {TPaddingMode::pmCount, {9, 9, 9, 9, 9, 9, 9, 0xFF}, 255},
        {TPaddingMode::pmMarker, {1, 2, 3, 4, 5, 0x80, 0, 0}, 3},
        {TPaddingMode::pmMarker, {1, 2, 3, 4, 5, 6, 7, 0x80}, 1},
        {TPaddingMode::pmMarker, {0x80, 0, 0, 0, 0, 0, 0, 0}, 8},
        {TPaddingMode::pmMarker, {0x80, 0x80, 0, 0, 0, 0, 0, 0}, 7},
        {TPaddingMode::pmMarker, {1, 2, 3, 4, 5, 6, 7, 0}, -1},
        {TPaddingMode::pmMarker, {0, 0, 0, 0, 0, 0, 0, 0}, -1},
        {TPaddingMode::pmMarker, {0x80, 2, 3, 4, 5, 0x81, 0, 0}, -1},
        {TPaddingMode::pmZeros, {1, 2, 3, 4, 5, 0, 0, 0}, 3},
        {TPaddingMode::pmZeros, {1, 0, 3, 4, 5, 6, 7, 8}, 0},
        {TPaddingMode::pmZeros, {0, 0, 0, 0, 0, 0, 0, 0}, 8},
        {TPaddingMode::pmSpaces, {1, 2, 0x20, 4, 5, 0x20, 0x20, 0x20}, 3},
        {TPaddingMode::pmSpaces, {0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20}, 8},
        {TPaddingMode::pmSpaces, {1, 2, 3, 4, 5, 6, 7, 0}, 0},
        {TPaddingMode::pmNone, {1, 2, 3, 4, 5, 3, 3, 3}, 0},
    };
    for (const TUnpadCase& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << static_cast<int>(c.mode) << ", last bytes " << static_cast<int>(c.block[6])
                     << " " << static_cast<int>(c.block[7]));
        TCryptCBC crypt = MakeCrypt(c.mode);
        TBytes block = c.block;
        if (c.padding >= 0)
            EXPECT_EQ(crypt.Pad(block.data(), 8, false), c.padding);
        else
            EXPECT_EQ(test::ErrorText([&] { Decrypt(crypt, PlusOne(block)); }), "Crypt Error");
    }
}

TEST(Crypt, PaddingAddsAtLeastOneByteExceptInModeNone) {
    struct TSizeCase {
        TPaddingMode mode;
        std::size_t length;
        std::size_t outputSize;
    };
    const TSizeCase cases[] = {
        {TPaddingMode::pmCount, 0, 8},    {TPaddingMode::pmCount, 7, 8},
        {TPaddingMode::pmCount, 8, 16},   {TPaddingMode::pmCount, 9, 16},
        {TPaddingMode::pmMarker, 16, 24}, {TPaddingMode::pmSpaces, 1000, 1008},
        {TPaddingMode::pmNone, 0, 0},     {TPaddingMode::pmNone, 24, 24},
    };
    for (const TSizeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << static_cast<int>(c.mode) << ", " << c.length);
        EXPECT_EQ(MakeCrypt(c.mode).OutputSize(c.length), c.outputSize);
    }
}

TEST(Crypt, PartBlocksAreRefusedWhereNoPaddingAccountsForThem) {
    // Mode pmNone cannot fill a part block, and no mode can decipher one.
    const TBytes in(17, 0);
    TBytes out(24);
    EXPECT_THROW(MakeCrypt(TPaddingMode::pmNone).Encrypt(in.data(), out.data(), 7), TCryptAssertion);
    TCryptCBC crypt = MakeCrypt(TPaddingMode::pmCount);
    for (std::size_t length : {1u, 7u, 9u, 15u, 17u})
        EXPECT_THROW(crypt.Decrypt(in.data(), out.data(), length), TCryptAssertion) << length;
    EXPECT_EQ(crypt.Decrypt(nullptr, nullptr, 0), 0u);
    // Under the add-one cipher and a zero IV, ciphertext 00 x 8 deciphers to
    // FF x 8: a padding count of 255 in an 8-byte text leaves nothing.
    EXPECT_TRUE(Decrypt(crypt, TBytes(8, 0)).empty());
}

TEST(Crypt, ChainingCarriesEachCiphertextBlockIntoTheNextAndEveryCallStartsFromTheIV) {
    // Block size 4, IV 10 20 30 40, data 01..06, padding 02 02:
    // c0 = (IV ^ 01020304) + 1 = 12233445; c1 = (c0 ^ 05060202) + 1 = 18263748.
    const TBytes iv = {0x10, 0x20, 0x30, 0x40};
    TCryptCBC crypt = MakeCrypt(TPaddingMode::pmCount, iv, 4);
    const TBytes plain = {1, 2, 3, 4, 5, 6};
    const TBytes expected = {0x12, 0x23, 0x34, 0x45, 0x18, 0x26, 0x37, 0x48};
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE(call);
        EXPECT_EQ(Encrypt(crypt, plain), expected);
        // Deciphering in place must keep each ciphertext block for the next.
        TBytes buffer = expected;
        buffer.resize(crypt.Decrypt(buffer.data(), buffer.data(), buffer.size()));
        EXPECT_EQ(buffer, plain);
    }
}

TEST(Crypt, ShortIVIsFilledWithZerosAndLongIVIsCut) {
    // Mode pmNone, one zero block: the ciphertext is IV + 1.
    const TBytes zeros(8, 0);
    TCryptCBC shortIV = MakeCrypt(TPaddingMode::pmNone, {1, 2, 3});
    EXPECT_EQ(Encrypt(shortIV, zeros), (TBytes{2, 3, 4, 1, 1, 1, 1, 1}));
    TCryptCBC longIV = MakeCrypt(TPaddingMode::pmNone, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(Encrypt(longIV, zeros), (TBytes{2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(Decrypt(longIV, TBytes{2, 3, 4, 5, 6, 7, 8, 9}), zeros);
}

TEST(Crypt, KeysItsCipherWithTheKeyTextsBytesAndDestroysItOnlyWhenItOwnsIt) {
    bool destroyed = false;
    { TCryptCBC crypt("k", new TAddOneCipher(8, &destroyed), ZeroIV.data(), 8, TPaddingMode::pmCount, true); }
    EXPECT_TRUE(destroyed);

    destroyed = false;
    TAddOneCipher borrowed(8, &destroyed);
    {
        TCryptCBC crypt(std::string("k\0\x82\xa0", 4), &borrowed, ZeroIV.data(), 8, TPaddingMode::pmCount,
                        false);
    }
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(borrowed.Key, (TBytes{'k', 0, 0x82, 0xa0}));

    // An owned cipher goes even when the mode is refused.
    EXPECT_THROW(TCryptCBC("k", new TAddOneCipher(8, &destroyed), ZeroIV.data(), 8,
                           static_cast<TPaddingMode>(5), true),
                 TCryptAssertion);
    EXPECT_TRUE(destroyed);
}

}  // namespace
}  // namespace fwp
