#include "crypto/secure_channel.h"

#include <random>

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
// second implementation that reproduces these bytes interoperates.
const std::string Phrase =
    FromHex("8d878cbe977420636f727265637420686f727365");  // "合言葉 correct horse" in CP932
const std::string ClientScalar = FromHex("ebd18c41e1239595f63b4de5c46a2242c275cb89803902ab1fff0796e9609603");
const std::string ServerScalar = FromHex("4fa34e65890709df1f642ed8be877c0a912acfd6ebed1031a68c90ff65cf0207");

TEST(SecureHandshake, FixedInputsGiveTheWorkedBytes) {
    TSecureHandshake client(Phrase, TSecureRole::srClient, ClientScalar);
    TSecureHandshake server(Phrase, TSecureRole::srServer, ServerScalar);
    EXPECT_EQ(ToHex(client.OwnShare()), "2015C45EE6B9EA9C177E959190BE7BE31806FC77022E032C79EA1C75CFEE2C20");
    EXPECT_EQ(ToHex(server.OwnShare()), "0083C84D7035EC56C03D3371EF0D676C9C4A878DF6C75FD53AFE459679563543");
    ASSERT_TRUE(client.Finish(server.OwnShare()));
    ASSERT_TRUE(server.Finish(client.OwnShare()));
    EXPECT_EQ(ToHex(client.OwnConfirmation()),
              "FBAE22046BAF34B34FA05A0909D579F92771F6707416F581892AC385846590DB");
    EXPECT_EQ(ToHex(server.OwnConfirmation()),
              "B35A1AD6F28FB87514A78436C03335919D0E76B6170173A93E129630859320FD");
    EXPECT_TRUE(client.PeerConfirmationMatches(server.OwnConfirmation()));
    EXPECT_TRUE(server.PeerConfirmationMatches(client.OwnConfirmation()));
    EXPECT_EQ(ToHex(client.SendKey()), "CA12F11D02A9381B0B9435B5C9F7A7D6D9DFC086D72D41D1A240DA84934D007E");
    EXPECT_EQ(ToHex(client.ReceiveKey()), "1B9716177BC3FD3BF7B32D5B4AD1DC31D16090320A7A4B68B6D8B98EC73B8941");
    EXPECT_EQ(server.SendKey(), client.ReceiveKey());
    EXPECT_EQ(server.ReceiveKey(), client.SendKey());

    TFrameSealer toServer(client.SendKey());
    TFrameSealer toClient(server.SendKey());
    std::string wire;
    toServer.Seal({"Fernwaypost Protocol Version 0.90", "\r\n"}, wire);
    EXPECT_EQ(ToHex(wire),
              "00000023CB35DD74D148203063A06C43E32F20052B27B45C5683B42719BA11D0F69A462BB96791AE6030A7012E"
              "5683BD4BB4DE5CD7892B");
    wire.clear();
    toServer.Seal({"127.0.0.1\r\n"}, wire);
    EXPECT_EQ(ToHex(wire), "0000000B822B48871AA07EC4121D0E51062BA4594ADE777AFC79A10EC3A41F");
    wire.clear();
    toClient.Seal({"32768\r\n"}, wire);
    EXPECT_EQ(ToHex(wire), "00000007036F94E6094CFB4378595A4E8DD0BF3C08A14D102E043B");
}

TEST(SecureHandshake, ADifferentPhraseFailsTheConfirmationOnBothSides) {
    TSecureHandshake client("phrase one", TSecureRole::srClient);
    TSecureHandshake server("phrase two", TSecureRole::srServer);
    ASSERT_TRUE(client.Finish(server.OwnShare()));
    ASSERT_TRUE(server.Finish(client.OwnShare()));
    EXPECT_FALSE(client.PeerConfirmationMatches(server.OwnConfirmation()));
    EXPECT_FALSE(server.PeerConfirmationMatches(client.OwnConfirmation()));
}

TEST(SecureHandshake, SharesThatAreNotUsableElementsAreRefused) {
    TSecureHandshake side("phrase", TSecureRole::srServer);
    const std::string refused[] = {
        std::string(32, '\0'),                                                        // the neutral element
        FromHex("0100000000000000000000000000000000000000000000000000000000000000"),  // not canonical
        side.OwnShare(),  // our own share sent back
        side.OwnShare().substr(0, 31),
    };
    for (const std::string& share : refused) {
        SCOPED_TRACE(ToHex(share));
        EXPECT_FALSE(side.Finish(share));
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

TEST(SecureFrames, RandomDataCrossesInAnySplitAndBigPiecesSpanFrames) {
    const std::string key(32, 'k');
    TFrameSealer sealer(key);
    TFrameOpener opener(key);
    std::mt19937 random(7);
    for (const std::size_t size :
         {std::size_t(1), std::size_t(65535), std::size_t(65536), std::size_t(65537), std::size_t(4 << 20)}) {
        SCOPED_TRACE(size);
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

TEST(SecureFrames, TamperedReplayedReorderedAndOversizedFramesFailToOpen) {
    const std::string key(32, 'k');
    TFrameSealer sealer(key);
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
        TFrameOpener opener(key);
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
