#include "crypto/packet_transform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tests/crypto/test_bytes.h"
#include "tests/support/sandbox.h"

namespace fwp {
namespace {

using test::FromHex;
using test::HelloStream;
using test::HelloText;
using test::RandomBytes;
using test::RandomPieces;
using test::TextLike;

const std::string Key = "10b1a7a16ee92beb87bfc8bdfdf0ca82";

struct TDecoded {
    bool fedWell = true;  // every Feed returned true
    bool finished = false;
    std::string out;
};

// Feeds payload in the given pieces, then finishes.
TDecoded Decode(TPacketDecoder& decoder, std::string_view payload, std::int64_t raw, std::int64_t wire,
                const std::vector<std::size_t>& pieces) {
    TDecoded result;
    decoder.Begin(raw, wire);
    std::size_t offset = 0;
    for (std::size_t piece : pieces) {
        const std::size_t before = result.out.size();
        const bool fed =
            decoder.Feed(reinterpret_cast<const std::uint8_t*>(payload.data()) + offset, piece, result.out);
        if (!fed && !result.fedWell) {
            EXPECT_EQ(result.out.size(), before) << "a refused packet must give nothing more";
        }
        result.fedWell = result.fedWell && fed;
        offset += piece;
    }
    result.finished = decoder.Finish(result.out);
    EXPECT_LE(static_cast<std::int64_t>(result.out.size()), std::max<std::int64_t>(raw, 0));
    if (result.finished) {
        EXPECT_TRUE(result.fedWell);
    }
    return result;
}

TDecoded Decode(TPacketDecoder& decoder, std::string_view payload, std::int64_t raw) {
    return Decode(decoder, payload, raw, static_cast<std::int64_t>(payload.size()), {payload.size()});
}

struct TKind {
    const char* name;
    std::function<std::unique_ptr<TPacketDecoder>()> make;
    std::function<std::string(const std::string& data)> encode;
    // The plain helper's answer for a payload; throws TError when it refuses it.
    std::function<std::string(const std::string& payload, std::int64_t raw)> reference;
};

const TKind Kinds[] = {
    {"Direct", MakeDirectDecoder, [](const std::string& data) { return data; },
     [](const std::string& payload, std::int64_t raw) {
         if (raw != static_cast<std::int64_t>(payload.size()))
             throw TError("not the raw length");
         return payload;
     }},
    {"Inflate", MakeInflateDecoder, CompressPacket, DecompressPacket},
    {"Decipher", [] { return MakeDecipherDecoder(Key); },
     [](const std::string& data) { return EncryptPacket(data, Key); },
     [](const std::string& payload, std::int64_t raw) {
         const std::string plain = DecryptPacket(payload, Key);
         if (raw < 0 || static_cast<std::int64_t>(plain.size()) < raw)
             throw TError("shorter than the raw length");
         return plain.substr(0, static_cast<std::size_t>(raw));
     }},
};

void PrintTo(const TKind& kind, std::ostream* os) {
    *os << kind.name;
}

class PacketDecoders : public testing::TestWithParam<TKind> {};

INSTANTIATE_TEST_SUITE_P(All, PacketDecoders, testing::ValuesIn(Kinds),
                         [](const testing::TestParamInfo<TKind>& kind) { return kind.param.name; });

TEST_P(PacketDecoders, PayloadInAnyPiecesDecodesToTheOriginalBytes) {
    const auto decoder = GetParam().make();
    const std::size_t sizes[] = {0, 1, 7, 8, 9, 63, 64, 65, 1000, 32768, 65539, std::size_t{1} << 20};
    std::uint32_t seed = 1;
    for (std::size_t size : sizes) {
        for (const std::string& data : {RandomBytes(size, seed), TextLike(size, seed)}) {
            ++seed;
            const std::string payload = GetParam().encode(data);
            const auto raw = static_cast<std::int64_t>(data.size());
            const auto wire = static_cast<std::int64_t>(payload.size());
            std::vector<std::vector<std::size_t>> chunkings = {
                {payload.size()},
                RandomPieces(payload.size(), 7, seed),
                RandomPieces(payload.size(), 1000, seed),
                RandomPieces(payload.size(), 100000, seed),
            };
            if (payload.size() <= 70000)
                chunkings.push_back(std::vector<std::size_t>(payload.size(), 1));
            for (const auto& pieces : chunkings) {
                SCOPED_TRACE(testing::Message() << "size " << size << ", " << pieces.size() << " pieces");
                const TDecoded decoded = Decode(*decoder, payload, raw, wire, pieces);
                EXPECT_TRUE(decoded.finished);
                EXPECT_TRUE(decoded.out == data) << "decoded bytes differ";
            }
        }
    }
}

TEST_P(PacketDecoders, FinishedOutputAlwaysEqualsThePlainHelper) {
    // Valid payloads, damaged copies of them and random bytes under assorted
    // lengths: whenever the decoder accepts, the plain helper gives the same bytes.
    const auto decoder = GetParam().make();
    std::mt19937 gen(77);
    int accepted = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t size = gen() % 3000;
        const std::string data = round % 2 == 0 ? RandomBytes(size, gen()) : TextLike(size, gen());
        std::string payload = GetParam().encode(data);
        std::int64_t raw = static_cast<std::int64_t>(data.size());
        switch (round % 6) {
            case 0:
                break;
            case 1:  // one byte changed
                if (!payload.empty())
                    payload[gen() % payload.size()] ^= static_cast<char>(1 + gen() % 255);
                break;
            case 2:  // cut short
                payload.resize(gen() % (payload.size() + 1));
                break;
            case 3:  // garbage after the payload
                payload += RandomBytes(1 + gen() % 20, gen());
                break;
            case 4:  // a raw length off by a little
                raw += static_cast<std::int64_t>(gen() % 17) - 8;
                break;
            case 5:  // random bytes
                payload = RandomBytes(gen() % 100, gen());
                raw = gen() % 100;
                break;
        }
        SCOPED_TRACE(testing::Message() << "round " << round);
        const TDecoded decoded = Decode(*decoder, payload, raw, static_cast<std::int64_t>(payload.size()),
                                        RandomPieces(payload.size(), 50, gen()));
        std::optional<std::string> expected;
        try {
            expected = GetParam().reference(payload, raw);
        } catch (const TError&) {
        }
        if (decoded.finished) {
            ++accepted;
            ASSERT_TRUE(expected.has_value()) << "the decoder accepts what the helper refuses";
            EXPECT_TRUE(decoded.out == *expected);
        }
        if (round % 6 == 0) {
            EXPECT_TRUE(decoded.finished) << "an untouched payload must decode";
        }
    }
    EXPECT_GE(accepted, 50);
}

TEST_P(PacketDecoders, PayloadLongerOrShorterThanTheWireLengthAndNegativeLengthsAreRefused) {
    const auto decoder = GetParam().make();
    const std::string payload = GetParam().encode("sixteen bytes...");
    const auto wire = static_cast<std::int64_t>(payload.size());
    const TDecoded longer = Decode(*decoder, payload + "x", 16, wire, {payload.size(), 1});
    EXPECT_FALSE(longer.fedWell);
    EXPECT_FALSE(longer.finished);
    EXPECT_FALSE(Decode(*decoder, payload, 16, wire, {payload.size() - 1}).finished);
    for (const auto& [badRaw, badWire] :
         {std::pair<std::int64_t, std::int64_t>{-1, wire}, {16, -1}, {-4, -4}}) {
        SCOPED_TRACE(testing::Message() << badRaw << " / " << badWire);
        const TDecoded decoded = Decode(*decoder, payload, badRaw, badWire, {payload.size()});
        EXPECT_FALSE(decoded.fedWell);
        EXPECT_FALSE(decoded.finished);
        EXPECT_TRUE(decoded.out.empty());
    }
}

TEST(InflateDecoder, StreamGivingMoreThanTheRawLengthIsRefusedEarly) {
    // 16 MiB of zeros as one level-1 zlib stream of about 70 KiB.
    const std::string bomb = CompressPacket(std::string(16 << 20, '\0'));
    ASSERT_LT(bomb.size(), 100000u);
    const auto decoder = MakeInflateDecoder();
    for (std::int64_t raw : {std::int64_t{0}, std::int64_t{1000}, std::int64_t{(16 << 20) - 1}}) {
        SCOPED_TRACE(raw);
        const TDecoded decoded = Decode(*decoder, bomb, raw, static_cast<std::int64_t>(bomb.size()),
                                        RandomPieces(bomb.size(), 4096, 1));
        EXPECT_FALSE(decoded.fedWell);
        EXPECT_FALSE(decoded.finished);
    }
    // The same stream with its true length is fine.
    const TDecoded whole = Decode(*decoder, bomb, 16 << 20);
    EXPECT_TRUE(whole.finished);
    EXPECT_EQ(whole.out, std::string(16 << 20, '\0'));
}

TEST(InflateDecoder, OnlyAWholeSoundStreamGivingExactlyTheRawLengthIsTakenWhateverFollowsIt) {
    std::string badHeader = HelloStream;
    badHeader[1] = 0x02;
    std::string badChecksum = HelloStream;
    badChecksum[HelloStream.size() - 2] ^= 0x40;
    std::string badBlockType = HelloStream;
    badBlockType[2] = static_cast<char>(0x07);  // final block of the reserved type 3
    struct TCase {
        std::string payload;
        std::int64_t raw;
        bool finished;
    };
    std::vector<TCase> cases = {
        {HelloStream, 23, true},
        {HelloStream + "trailing garbage", 23, true},
        {HelloStream, 24, false},
        {HelloStream, 22, false},
        {HelloStream, std::int64_t{1} << 40, false},
        {"", 0, false},  // no stream at all, even for zero bytes
        {badHeader, 23, false},
        {badChecksum, 23, false},
        {badBlockType, 23, false},
        // A header asking for a preset dictionary (FDICT), which packets never use.
        {FromHex("782000000001") + HelloStream.substr(2), 23, false},
    };
    for (std::size_t cut = 0; cut < HelloStream.size(); ++cut)
        cases.push_back({HelloStream.substr(0, cut), 23, false});
    const auto decoder = MakeInflateDecoder();
    for (const TCase& c : cases) {
        SCOPED_TRACE(testing::Message() << test::ToHex(c.payload) << ", raw " << c.raw);
        const TDecoded decoded = Decode(*decoder, c.payload, c.raw);
        EXPECT_EQ(decoded.finished, c.finished);
        if (c.finished) {
            EXPECT_EQ(decoded.out, HelloText);
        }
    }
}

TEST(DecipherDecoder, RawLengthUpToThePlaintextGivesItsFirstBytesAndBeyondIsRefused) {
    const auto decoder = MakeDecipherDecoder(Key);
    const std::string data = RandomBytes(1 << 20, 12);
    const std::string payload = EncryptPacket(data, Key);  // a whole padding block follows the data
    const auto wire = static_cast<std::int64_t>(payload.size());
    for (std::int64_t raw :
         {std::int64_t{0}, std::int64_t{1}, std::int64_t{8}, std::int64_t{9}, std::int64_t{100},
          std::int64_t{(1 << 20) - 1}, std::int64_t{1 << 20}, std::int64_t{(1 << 20) + 1}, wire, wire + 1}) {
        SCOPED_TRACE(raw);
        const TDecoded decoded = Decode(*decoder, payload, raw, wire, RandomPieces(payload.size(), 65536, 3));
        EXPECT_EQ(decoded.finished, raw <= (1 << 20));
        if (decoded.finished) {
            EXPECT_TRUE(decoded.out == data.substr(0, static_cast<std::size_t>(raw)));
        }
    }
}

TEST(DecipherDecoder, PaddingCountComesFromTheLastBlockWhenOnlyEarlierBytesAreWanted) {
    // Whole-block data enciphered without its padding block: the last data byte,
    // 200, is then read as the padding count, so the plaintext has 4096 - 200 bytes.
    std::string data = RandomBytes(4096, 21);
    data.back() = static_cast<char>(200);
    const std::string payload = EncryptPacket(data, Key).substr(0, 4096);
    const auto decoder = MakeDecipherDecoder(Key);
    for (std::uint32_t seed = 0; seed < 5; ++seed) {
        const auto pieces = RandomPieces(payload.size(), 300, seed);
        const TDecoded fits = Decode(*decoder, payload, 3896, 4096, pieces);
        EXPECT_TRUE(fits.finished);
        EXPECT_TRUE(fits.out == data.substr(0, 3896));
        EXPECT_TRUE(Decode(*decoder, payload, 100, 4096, pieces).finished);
        EXPECT_FALSE(Decode(*decoder, payload, 3897, 4096, pieces).finished);
    }
}

TEST(DecipherDecoder, WireLengthsThatAreNotPositiveWholeBlocksAreRefused) {
    const auto decoder = MakeDecipherDecoder(Key);
    const std::string payload = EncryptPacket("some bytes to send", Key);  // 24 bytes
    for (std::size_t wire : {0u, 1u, 7u, 9u, 12u, 23u}) {
        SCOPED_TRACE(wire);
        const TDecoded decoded = Decode(*decoder, payload.substr(0, wire), 0);
        EXPECT_FALSE(decoded.finished);
        EXPECT_TRUE(decoded.out.empty());
    }
}

TEST(DecipherDecoder, WrongKeyDecodesLikeThePlainHelper) {
    const std::string otherKey = "f1f17934834ae2613699701054ef9684";
    const auto decoder = MakeDecipherDecoder(otherKey);
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        const std::string payload = EncryptPacket(RandomBytes(seed * 3, seed), Key);
        const std::string plain = DecryptPacket(payload, otherKey);
        const TDecoded decoded = Decode(*decoder, payload, static_cast<std::int64_t>(plain.size()));
        EXPECT_TRUE(decoded.finished);
        EXPECT_TRUE(decoded.out == plain);
        EXPECT_FALSE(Decode(*decoder, payload, static_cast<std::int64_t>(plain.size()) + 1).finished);
    }
}

}  // namespace
}  // namespace fwp
