#include "crypto/secure_channel.h"

#include <optional>
#include <random>
#include <tuple>

#include <gtest/gtest.h>
#include <sodium.h>

#include "tests/crypto/test_bytes.h"

namespace fwp::test {
namespace {

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// Encodings of k times the generator for k = 1, 2, 3, 4, 5, 15 (RFC 9496, A.1).
TEST(Ristretto255, MultiplesOfTheGeneratorMatchThePublishedEncodings) {
    const std::pair<int, const char*> vectors[] = {
        {1, "e2f2ae0a6abc4e71a884a961c500515f58e30b6aa582dd8db6a65945e08d2d76"},
        {2, "6a493210f7499cd17fecb510ae0cea23a110e8d5b901f8acadd3095c73a3b919"},
        {3, "94741f5d5d52755ece4f23f044ee27d5d1ea1e2bd196b462166b16152a9d0259"},
        {4, "da80862773358b466ffadfe0b3293ab3d9fd53c5ea6c955358f568322daf6a57"},
        {5, "e882b131016b52c1d3337080187cf768423efccbb517bb495ab812c4160ff44e"},
        {15, "e0c418f7c8d9c4cdd7395b93ea124f3ad99021bb681dfc3302a9d99a2e53e64e"},
    };
    ASSERT_GE(sodium_init(), 0);
    for (const auto& [k, expected] : vectors) {
        SCOPED_TRACE(k);
        unsigned char scalar[32] = {static_cast<unsigned char>(k)};
        std::string point(32, '\0');
        ASSERT_EQ(crypto_scalarmult_ristretto255_base(reinterpret_cast<unsigned char*>(point.data()), scalar),
                  0);
        EXPECT_EQ(ToHex(point), ToHex(FromHex(expected)));
        EXPECT_TRUE(crypto_core_ristretto255_is_valid_point(Bytes(point)));
    }
}

// Encodings that are not canonical or not in the group (RFC 9496, A.2).
TEST(Ristretto255, BadEncodingsAreRejected) {
    for (const char* hex : {"0100000000000000000000000000000000000000000000000000000000000000",
                            "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
                            "ed57ffd8c914fb201471d1c3d245ce3c746fcbe63a3679d51b6a516ebebe0e20",
                            "26948d35ca62e643e26a831777332e6bafeb9d08e4268b650f1f5bbd8d81d371",
                            "5c37cc491da847cfeb9281d407efc41e15144c876e0170b499a96a22ed31e01e"}) {
        SCOPED_TRACE(hex);
        EXPECT_FALSE(crypto_core_ristretto255_is_valid_point(Bytes(FromHex(hex))));
    }
}

// 64 uniform bytes to a group element (RFC 9496, A.3).
TEST(Ristretto255, HashToGroupMatchesThePublishedEncodings) {
    const std::pair<const char*, const char*> vectors[] = {
        {"5d1be09e3d0c82fc538112490e35701979d99e06ca3e2b5b54bffe8b4dc772c14d98b696a1bbfb5ca32c436cc61c1656379"
         "0306c"
         "79eaca7705668b47dffe5bb6",
         "3066f82a1a747d45120d1740f14358531a8f04bbffe6a819f86dfe50f44a0a46"},
        {"f116b34b8f17ceb56e8732a60d913dd10cce47a6d53bee9204be8b44f6678b270102a56902e2488c46120e9276cfe546382"
         "86b9e"
         "4b3cdb470b542d46c2068d38",
         "f26e5b6f7d362d2d2a94c5d0e7602cb4773c95a2e5c31a64f133189fa76ed61b"},
        {"2cdc11eaeb95daf01189417cdddbf95952993aa9cb9c640eb5058d09702c74622c9965a697a3b345ec24ee56335b556e677"
         "b30e6"
         "f90ac77d781064f866a3c982",
         "80bd07262511cdde4863f8a7434cef696750681cb9510eea557088f76d9e5065"},
    };
    ASSERT_GE(sodium_init(), 0);
    for (const auto& [input, expected] : vectors) {
        std::string point(32, '\0');
        crypto_core_ristretto255_from_hash(reinterpret_cast<unsigned char*>(point.data()),
                                           Bytes(FromHex(input)));
        EXPECT_EQ(ToHex(point), ToHex(FromHex(expected)));
    }
}

// The construction with fixed inputs, worked out separately from its
// description (SHA-512, keyed BLAKE2b and the AEAD of another binding): a
// second implementation that reproduces these bytes interoperates. The two
// cipher lines differ in order: the client's first choice is taken.
const std::string Phrase =
    FromHex("8d878cbe977420636f727265637420686f727365");  // "合言葉 correct horse" in CP932
const std::string ClientScalar = FromHex("ebd18c41e1239595f63b4de5c46a2242c275cb89803902ab1fff0796e9609603");
const std::string ServerScalar = FromHex("4fa34e65890709df1f642ed8be877c0a912acfd6ebed1031a68c90ff65cf0207");
constexpr std::string_view ClientCiphers = "aes128ocb aes256gcm chacha20poly1305";
constexpr std::string_view ServerCiphers = "chacha20poly1305 aes128ocb aes256gcm";

TEST(SecureHandshake, FixedInputsGiveTheWorkedBytes) {
    TSecureHandshake client(Phrase, TSecureRole::srClient, ClientCiphers, ClientScalar);
    TSecureHandshake server(Phrase, TSecureRole::srServer, ServerCiphers, ServerScalar);
    EXPECT_EQ(ToHex(client.OwnShare()), "2015C45EE6B9EA9C177E959190BE7BE31806FC77022E032C79EA1C75CFEE2C20");
    EXPECT_EQ(ToHex(server.OwnShare()), "0083C84D7035EC56C03D3371EF0D676C9C4A878DF6C75FD53AFE459679563543");
    ASSERT_TRUE(client.Finish(server.OwnShare(), ServerCiphers));
    ASSERT_TRUE(server.Finish(client.OwnShare(), ClientCiphers));
    EXPECT_EQ(ToHex(client.OwnConfirmation()),
              "FA1B7007E47560CF58EBB0A3D98C66DD0491981BC8844A6EA4AF7F87386B0F7D");
    EXPECT_EQ(ToHex(server.OwnConfirmation()),
              "625C5CEA97287831C1449FBF188BA67D03D6711A8F7FD90849EF09FBA2E874A3");
    EXPECT_TRUE(client.PeerConfirmationMatches(server.OwnConfirmation()));
    EXPECT_TRUE(server.PeerConfirmationMatches(client.OwnConfirmation()));
    EXPECT_EQ(ToHex(client.SendKey()), "8BD64FC186C9D037328053E32613ACB45F43DE4F84A165B4F63E3889BF143849");
    EXPECT_EQ(ToHex(client.ReceiveKey()), "14C37CCB75128A5A5D17AEB2AAB314117F131CC96A09BF14265C917559A4CAA3");
    EXPECT_EQ(server.SendKey(), client.ReceiveKey());
    EXPECT_EQ(server.ReceiveKey(), client.SendKey());
    ASSERT_EQ(client.Cipher(), TSecureCipher::scAes128Ocb);
    ASSERT_EQ(server.Cipher(), TSecureCipher::scAes128Ocb);

    TFrameSealer toServer(client.SendKey(), client.Cipher());
    TFrameSealer toClient(server.SendKey(), server.Cipher());
    std::string wire;
    toServer.Seal({"Fernwaypost Protocol Version 0.90", "\r\n"}, wire);
    EXPECT_EQ(ToHex(wire),
              "000000235586E9F583CCCE42AA7D81451B939D86DAC6D820B69DAD24667A89BF794A40F1FD13A539305BB829BE3004"
              "2D306085DB253BFB");
    wire.clear();
    toServer.Seal({"127.0.0.1\r\n"}, wire);
    EXPECT_EQ(ToHex(wire), "0000000BF88EA2800382F56F1225E12FA134001F86D3B8AC1997C6259CF0DD");
    wire.clear();
    toClient.Seal({"32768\r\n"}, wire);
    EXPECT_EQ(ToHex(wire), "00000007A70BEAA86497578EF1F2619CEADC0CCFE3A58E05B50096");
}

// A cipher line changed on the way (to force a weaker choice, say) gives
// the two sides different keys, so the confirmations fail.
TEST(SecureHandshake, AChangedCipherLineFailsTheConfirmation) {
    TSecureHandshake client(Phrase, TSecureRole::srClient, ClientCiphers);
    TSecureHandshake server(Phrase, TSecureRole::srServer, ServerCiphers);
    ASSERT_TRUE(client.Finish(server.OwnShare(), "chacha20poly1305"));
    ASSERT_TRUE(server.Finish(client.OwnShare(), "chacha20poly1305"));
    EXPECT_FALSE(client.PeerConfirmationMatches(server.OwnConfirmation()));
    EXPECT_FALSE(server.PeerConfirmationMatches(client.OwnConfirmation()));
}

TEST(SecureCiphers, TheClientsFirstChoiceThatTheServerNamesIsTaken) {
    using enum TSecureCipher;
    const std::tuple<const char*, const char*, std::optional<TSecureCipher>> cases[] = {
        {"aes128ocb aes256gcm chacha20poly1305", "chacha20poly1305 aes128ocb aes256gcm", scAes128Ocb},
        {"aes256gcm chacha20poly1305", "chacha20poly1305 aes256gcm", scAes256Gcm},
        {"chacha20poly1305 aes256gcm", "aes256gcm chacha20poly1305", scChaCha20Poly1305},
        {"aes256gcm chacha20poly1305", "chacha20poly1305", scChaCha20Poly1305},
        {"future-cipher chacha20poly1305", "aes256gcm future-cipher chacha20poly1305", scChaCha20Poly1305},
        {"aes256gcm", "chacha20poly1305", std::nullopt},
        {"", "aes256gcm", std::nullopt},
        {"aes256gcm  chacha20poly1305", "chacha20poly1305", scChaCha20Poly1305},
    };
    for (const auto& [client, server, chosen] : cases) {
        SCOPED_TRACE(std::string(client) + " / " + server);
        EXPECT_EQ(ChooseSecureCipher(client, server), chosen);
    }
    EXPECT_EQ(ChooseSecureCipher(OwnSecureCiphers(), OwnSecureCiphers()).has_value(), true);
}

// The ciphers against their published vectors: the 40-byte AES-128-OCB
// sample of RFC 7253 (its key in the first 16 of 32 bytes), the AES-256-GCM
// case with associated data from the GCM submission (test case 16) and the
// ChaCha20-Poly1305 example of RFC 8439, 2.8.2.
TEST(SecureCiphers, SealingAndOpeningMatchThePublishedVectors) {
    struct TVector {
        TSecureCipher cipher;
        const char *key, *nonce, *data, *plain, *sealed;
    };
    const std::string sunscreen = ToHex(
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
        "sunscreen "
        "would be it.");
    const std::string forty =
        ToHex(std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d"
                          "\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19\x1a\x1b"
                          "\x1c\x1d\x1e\x1f\x20\x21\x22\x23\x24\x25\x26\x27",
                          40));
    const TVector vectors[] = {
        {TSecureCipher::scAes128Ocb, "000102030405060708090a0b0c0d0e0fffffffffffffffffffffffffffffffff",
         "bbaa9988776655443322110d", forty.c_str(), forty.c_str(),
         "d5ca91748410c1751ff8a2f618255b68a0a12e093ff454606e59f9c1d0ddc54b65e8628e568bad7a"
         "ed07ba06a4a69483a7035490c5769e60"},
        {TSecureCipher::scAes256Gcm, "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
         "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16"
         "aedf5"
         "aa0de657ba637b39",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f"
         "61e63"
         "93ba7a0abcc9f662"
         "76fc6ece0f4e1768cddf8853bb2d551b"},
        {TSecureCipher::scChaCha20Poly1305,
         "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f", "070000004041424344454647",
         "50515253c0c1c2c3c4c5c6c7", sunscreen.c_str(),
         "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a7"
         "1de0a"
         "9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4"
         "b7a9d"
         "e576d26586cec64b6116"
         "1ae10b594f09e26a7e902ecbd0600691"},
    };
    for (const TVector& vector : vectors) {
        SCOPED_TRACE(std::string(SecureCipherName(vector.cipher)));
        const std::string key = FromHex(vector.key), nonce = FromHex(vector.nonce),
                          data = FromHex(vector.data);
        const std::string plain = FromHex(vector.plain), expected = FromHex(vector.sealed);
        std::string sealed(plain.size() + TAeadKey::TagBytes, '\0');
        auto* out = reinterpret_cast<unsigned char*>(sealed.data());
        TAeadKey(vector.cipher, key, true)
            .Seal(Bytes(nonce), Bytes(data), data.size(), Bytes(plain), plain.size(), out,
                  out + plain.size());
        EXPECT_EQ(ToHex(sealed), ToHex(expected));
        std::string opened(plain.size(), '\0');
        TAeadKey opener(vector.cipher, key, false);
        EXPECT_TRUE(opener.Open(Bytes(nonce), Bytes(data), data.size(), Bytes(expected), plain.size(),
                                Bytes(expected) + plain.size(),
                                reinterpret_cast<unsigned char*>(opened.data())));
        EXPECT_EQ(opened, plain);
        std::string tampered = expected;
        tampered.back() ^= 1;
        EXPECT_FALSE(opener.Open(Bytes(nonce), Bytes(data), data.size(), Bytes(tampered), plain.size(),
                                 Bytes(tampered) + plain.size(),
                                 reinterpret_cast<unsigned char*>(opened.data())));
    }
}

TEST(SecureHandshake, ADifferentPhraseFailsTheConfirmationOnBothSides) {
    TSecureHandshake client("phrase one", TSecureRole::srClient, ClientCiphers);
    TSecureHandshake server("phrase two", TSecureRole::srServer, ClientCiphers);
    ASSERT_TRUE(client.Finish(server.OwnShare(), ClientCiphers));
    ASSERT_TRUE(server.Finish(client.OwnShare(), ClientCiphers));
    EXPECT_FALSE(client.PeerConfirmationMatches(server.OwnConfirmation()));
    EXPECT_FALSE(server.PeerConfirmationMatches(client.OwnConfirmation()));
}

TEST(SecureHandshake, SharesThatAreNotUsableElementsAreRefused) {
    TSecureHandshake side("phrase", TSecureRole::srServer, ServerCiphers);
    const std::string refused[] = {
        std::string(32, '\0'),                                                        // the neutral element
        FromHex("0100000000000000000000000000000000000000000000000000000000000000"),  // not canonical
        side.OwnShare(),  // our own share sent back
        side.OwnShare().substr(0, 31),
    };
    for (const std::string& share : refused) {
        SCOPED_TRACE(ToHex(share));
        EXPECT_FALSE(side.Finish(share, ClientCiphers));
        EXPECT_FALSE(side.PeerConfirmationMatches(std::string(32, '\0')));
    }
}

// Opens wire in pieces of random sizes, as TCP may deliver it; false when a frame fails.
bool OpenInPieces(TFrameOpener& opener, const std::string& wire, std::string& plain, std::mt19937& random) {
    std::string pending;
    std::size_t at = 0;
    while (at < wire.size()) {
        const std::size_t take = std::min<std::size_t>(wire.size() - at, 1 + random() % 100000);
        pending.append(wire, at, take);
        at += take;
        std::string out(pending.size(), '\0');
        std::size_t consumed = 0;
        std::size_t produced = 0;
        if (!opener.Open(pending.data(), pending.size(), consumed, out.data(), produced))
            return false;
        plain.append(out, 0, produced);
        pending.erase(0, consumed);
    }
    return pending.empty();
}

constexpr TSecureCipher Ciphers[] = {TSecureCipher::scAes128Ocb, TSecureCipher::scAes256Gcm,
                                     TSecureCipher::scChaCha20Poly1305};

TEST(SecureFrames, RandomDataCrossesInAnySplitAndBigPiecesSpanFrames) {
    const std::string key(32, 'k');
    std::mt19937 random(7);
    for (const TSecureCipher cipher : Ciphers)
        for (const std::size_t size : {std::size_t(1), std::size_t(65535), std::size_t(65536),
                                       std::size_t(65537), std::size_t(4 << 20)}) {
            SCOPED_TRACE(std::string(SecureCipherName(cipher)) + " " + std::to_string(size));
            TFrameSealer sealer(key, cipher);
            TFrameOpener opener(key, cipher);
            std::string data(size, '\0');
            for (char& c : data)
                c = static_cast<char>(random());
            std::string wire;
            sealer.Seal({"#TRANSDATA\r\n", data}, wire);
            const std::size_t frames =
                (size + 12 + TFrameSealer::MaxFrameBytes - 1) / TFrameSealer::MaxFrameBytes;
            EXPECT_EQ(wire.size(), size + 12 + frames * TFrameSealer::OverheadBytes);
            std::string plain;
            ASSERT_TRUE(OpenInPieces(opener, wire, plain, random));
            EXPECT_EQ(plain, "#TRANSDATA\r\n" + data);
        }
}

// A reader with little room gets whole frames only, the rest waits.
TEST(SecureFrames, OnlyFramesThatFitTheRoomAreOpened) {
    const std::string key(32, 'k');
    TFrameSealer sealer(key, TSecureCipher::scAes128Ocb);
    TFrameOpener opener(key, TSecureCipher::scAes128Ocb);
    std::string wire;
    sealer.Seal({"ten bytes!"}, wire);
    sealer.Seal({"and twenty bytes now"}, wire);
    char out[64];
    std::size_t consumed = 0;
    std::size_t produced = 0;
    ASSERT_TRUE(opener.Open(wire.data(), wire.size(), consumed, out, produced, 29));
    EXPECT_EQ(std::string(out, produced), "ten bytes!");
    wire.erase(0, consumed);
    ASSERT_TRUE(opener.Open(wire.data(), wire.size(), consumed, out, produced, 19));
    EXPECT_EQ(consumed + produced, 0u);
    ASSERT_TRUE(opener.Open(wire.data(), wire.size(), consumed, out, produced, 20));
    EXPECT_EQ(std::string(out, produced), "and twenty bytes now");
}

TEST(SecureFrames, TamperedReplayedReorderedAndOversizedFramesFailToOpen) {
    const std::string key(32, 'k');
    TFrameSealer sealer(key, TSecureCipher::scChaCha20Poly1305);
    std::string first;
    std::string second;
    sealer.Seal({"first frame"}, first);
    sealer.Seal({"second frame"}, second);
    std::string flipped = first + second;
    flipped[first.size() + 6] ^= 1;
    std::string badLength = first;
    badLength[1] = 0x01;  // a length of 65536 + 11: more than a frame may carry
    const std::pair<const char*, std::string> cases[] = {
        {"a bit flipped in the second frame", flipped},
        {"the first frame again", first + first},
        {"the frames swapped", second + first},
        {"the first frame dropped", second},
        {"an oversized length", badLength},
        {"a zero length", std::string(4, '\0') + std::string(16, 'x')},
    };
    for (const auto& [what, wire] : cases) {
        SCOPED_TRACE(what);
        TFrameOpener opener(key, TSecureCipher::scChaCha20Poly1305);
        std::string out(wire.size(), '\0');
        std::size_t consumed = 0;
        std::size_t produced = 0;
        EXPECT_FALSE(opener.Open(wire.data(), wire.size(), consumed, out.data(), produced));
        // Once failed, it stays failed.
        EXPECT_FALSE(opener.Open(first.data(), first.size(), consumed, out.data(), produced));
    }
}

}  // namespace
}  // namespace fwp::test
