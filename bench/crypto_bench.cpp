// Micro-benchmarks of the packet transforms against bare loops over the same
// packets: zlib level 1, Blowfish-CBC and the secure session's cipher with nothing
// around them.
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "crypto/blowfish.h"
#include "crypto/packet_transform.h"
#include "crypto/secure_channel.h"

namespace fwp {
namespace {

const std::string Key = "10b1a7a16ee92beb87bfc8bdfdf0ca82";

std::string RandomData(std::size_t size) {
    std::mt19937_64 gen(size);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(gen());
    return data;
}

// Words, spaces and line breaks; compresses to about a third at level 1.
std::string TextData(std::size_t size) {
    static constexpr std::string_view Words[] = {
        "packet", "transfer", "file",  "peer",   "the", "of",     "and",  "data", "send",  "receive",
        "offer",  "accept",   "abort", "resume", "a",   "stream", "zlib", "key",  "block", "socket"};
    std::mt19937 gen(static_cast<std::uint32_t>(size));
    std::string text;
    while (text.size() < size) {
        text += Words[gen() % std::size(Words)];
        text += gen() % 12 == 0 ? '\n' : ' ';
    }
    text.resize(size);
    return text;
}

// The packet for (size, kind): kind 0 is random bytes, 1 is text.
const std::string& Packet(const benchmark::State& state) {
    static std::map<std::pair<std::int64_t, std::int64_t>, std::string> cache;
    const auto key = std::make_pair(state.range(0), state.range(1));
    auto found = cache.find(key);
    if (found == cache.end()) {
        const auto size = static_cast<std::size_t>(state.range(0));
        found = cache.emplace(key, state.range(1) == 0 ? RandomData(size) : TextData(size)).first;
    }
    return found->second;
}

void Finish(benchmark::State& state, std::size_t bytesPerPacket) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytesPerPacket));
    state.SetLabel(state.range(1) == 0 ? "random" : "text");
}

const Bytef* BytesOf(std::string_view text) {
    return reinterpret_cast<const Bytef*>(text.data());
}

// ---- compression ----

void BM_BareCompress2(benchmark::State& state) {
    const std::string& packet = Packet(state);
    std::string out(compressBound(static_cast<uLong>(packet.size())), '\0');
    for (auto _ : state) {
        uLongf outLength = static_cast<uLongf>(out.size());
        if (compress2(reinterpret_cast<Bytef*>(out.data()), &outLength, BytesOf(packet),
                      static_cast<uLong>(packet.size()), 1) != Z_OK)
            state.SkipWithError("compress2 failed");
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

void BM_PacketCompressor(benchmark::State& state) {
    const std::string& packet = Packet(state);
    TPacketCompressor compressor;
    std::string out;
    for (auto _ : state) {
        compressor.Compress(packet, out);
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

void BM_CompressPacket(benchmark::State& state) {
    const std::string& packet = Packet(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(CompressPacket(packet));
    Finish(state, packet.size());
}

// Rates of the inflating side count the raw bytes that come out.
void BM_BareUncompress(benchmark::State& state) {
    const std::string& packet = Packet(state);
    const std::string stream = CompressPacket(packet);
    std::string out(packet.size(), '\0');
    for (auto _ : state) {
        uLongf outLength = static_cast<uLongf>(out.size());
        if (uncompress(reinterpret_cast<Bytef*>(out.data()), &outLength, BytesOf(stream),
                       static_cast<uLong>(stream.size())) != Z_OK)
            state.SkipWithError("uncompress failed");
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

void BM_InflateDecoder(benchmark::State& state) {
    const std::string& packet = Packet(state);
    const std::string stream = CompressPacket(packet);
    const auto decoder = MakeInflateDecoder();
    std::string out;
    out.reserve(packet.size());
    for (auto _ : state) {
        out.clear();
        decoder->Begin(static_cast<std::int64_t>(packet.size()), static_cast<std::int64_t>(stream.size()));
        decoder->Feed(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(), out);
        if (!decoder->Finish(out))
            state.SkipWithError("inflate decoder refused the packet");
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

// ---- encryption ----

void KeyCipher(TBlowFish& cipher) {
    cipher.SetKey(reinterpret_cast<const std::uint8_t*>(Key.data()), static_cast<std::int32_t>(Key.size()));
}

// Blowfish-CBC over the packet's whole blocks plus one padding block, keyed once.
void BM_BareBlowFishEncrypt(benchmark::State& state) {
    const std::string& packet = Packet(state);
    TBlowFish cipher;
    KeyCipher(cipher);
    const std::size_t blocks = packet.size() / 8;
    std::string out((blocks + 1) * 8, '\0');
    for (auto _ : state) {
        const auto* in = reinterpret_cast<const std::uint8_t*>(packet.data());
        auto* cipherText = reinterpret_cast<std::uint8_t*>(out.data());
        std::uint32_t left = 0x3C9A0E71;
        std::uint32_t right = 0xD428B65F;
        for (std::size_t i = 0; i < blocks; ++i) {
            left ^= TBlowFish::LoadBigEndian(in + 8 * i);
            right ^= TBlowFish::LoadBigEndian(in + 8 * i + 4);
            cipher.EncryptWords(left, right);
            TBlowFish::StoreBigEndian(left, cipherText + 8 * i);
            TBlowFish::StoreBigEndian(right, cipherText + 8 * i + 4);
        }
        left ^= 0x08080808;
        right ^= 0x08080808;
        cipher.EncryptWords(left, right);
        TBlowFish::StoreBigEndian(left, cipherText + 8 * blocks);
        TBlowFish::StoreBigEndian(right, cipherText + 8 * blocks + 4);
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

void BM_PacketEncipherer(benchmark::State& state) {
    const std::string& packet = Packet(state);
    TPacketEncipherer encipherer(Key);
    std::string out;
    for (auto _ : state) {
        encipherer.Encrypt(packet, out);
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

void BM_EncryptPacket(benchmark::State& state) {
    const std::string& packet = Packet(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(EncryptPacket(packet, Key));
    Finish(state, packet.size());
}

void BM_BareBlowFishDecrypt(benchmark::State& state) {
    const std::string& packet = Packet(state);
    const std::string payload = EncryptPacket(packet, Key);
    TBlowFish cipher;
    KeyCipher(cipher);
    const std::size_t blocks = payload.size() / 8;
    std::string out(payload.size(), '\0');
    for (auto _ : state) {
        const auto* in = reinterpret_cast<const std::uint8_t*>(payload.data());
        auto* plain = reinterpret_cast<std::uint8_t*>(out.data());
        std::uint32_t chainLeft = 0x3C9A0E71;
        std::uint32_t chainRight = 0xD428B65F;
        for (std::size_t i = 0; i < blocks; ++i) {
            std::uint32_t left = TBlowFish::LoadBigEndian(in + 8 * i);
            std::uint32_t right = TBlowFish::LoadBigEndian(in + 8 * i + 4);
            const std::uint32_t nextLeft = left;
            const std::uint32_t nextRight = right;
            cipher.DecryptWords(left, right);
            TBlowFish::StoreBigEndian(left ^ chainLeft, plain + 8 * i);
            TBlowFish::StoreBigEndian(right ^ chainRight, plain + 8 * i + 4);
            chainLeft = nextLeft;
            chainRight = nextRight;
        }
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

void BM_DecipherDecoder(benchmark::State& state) {
    const std::string& packet = Packet(state);
    const std::string payload = EncryptPacket(packet, Key);
    const auto decoder = MakeDecipherDecoder(Key);
    std::string out;
    out.reserve(packet.size());
    for (auto _ : state) {
        out.clear();
        decoder->Begin(static_cast<std::int64_t>(packet.size()), static_cast<std::int64_t>(payload.size()));
        decoder->Feed(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), out);
        if (!decoder->Finish(out))
            state.SkipWithError("decipher decoder refused the packet");
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

// ---- the secure session's frames ----

const std::string StreamKey(32, 'k');

// The cipher two copies of the program pick on this machine.
TSecureCipher ChosenCipher() {
    return ChooseSecureCipher(OwnSecureCiphers(), OwnSecureCiphers()).value_or(TSecureCipher::scAes256Gcm);
}

// One cipher call over the whole packet, in place, with nothing around it.
void BM_BareAeadEncrypt(benchmark::State& state) {
    std::string buffer = Packet(state);
    TAeadKey key(ChosenCipher(), StreamKey, true);
    unsigned char tag[TAeadKey::TagBytes];
    const unsigned char nonce[TAeadKey::NonceBytes] = {};
    auto* data = reinterpret_cast<unsigned char*>(buffer.data());
    for (auto _ : state) {
        key.Seal(nonce, nullptr, 0, data, buffer.size(), data, tag);
        benchmark::DoNotOptimize(tag);
    }
    state.SetLabel(std::string(SecureCipherName(ChosenCipher())));
    Finish(state, buffer.size());
}

void BM_BareAeadDecrypt(benchmark::State& state) {
    const std::string& packet = Packet(state);
    unsigned char tag[TAeadKey::TagBytes];
    const unsigned char nonce[TAeadKey::NonceBytes] = {};
    std::string sealed = packet;
    auto* cipherText = reinterpret_cast<unsigned char*>(sealed.data());
    TAeadKey(ChosenCipher(), StreamKey, true)
        .Seal(nonce, nullptr, 0, cipherText, sealed.size(), cipherText, tag);
    TAeadKey key(ChosenCipher(), StreamKey, false);
    std::string out(packet.size(), '\0');
    for (auto _ : state) {
        if (!key.Open(nonce, nullptr, 0, cipherText, sealed.size(), tag,
                      reinterpret_cast<unsigned char*>(out.data())))
            state.SkipWithError("the bare loop refused its own packet");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(std::string(SecureCipherName(ChosenCipher())));
    Finish(state, packet.size());
}

// What the socket does for one Send of a packet: header and payload into frames.
void BM_FrameSealer(benchmark::State& state) {
    const std::string& packet = Packet(state);
    TFrameSealer sealer(StreamKey, ChosenCipher());
    std::string wire;
    for (auto _ : state) {
        wire.clear();
        sealer.Seal({"#TRANSDATA\r\n", packet}, wire);
        benchmark::DoNotOptimize(wire.data());
    }
    Finish(state, packet.size());
}

// What the socket does with the frames of one packet as they arrive.
void BM_FrameOpener(benchmark::State& state) {
    const std::string& packet = Packet(state);
    TFrameSealer sealer(StreamKey, ChosenCipher());
    std::string wire;
    sealer.Seal({packet}, wire);
    std::string out(wire.size(), '\0');
    for (auto _ : state) {
        // A frame opens once only: each pass opens the same frames as the first ones of a connection.
        TFrameOpener opener(StreamKey, ChosenCipher());
        std::size_t consumed = 0;
        std::size_t produced = 0;
        if (!opener.Open(wire.data(), wire.size(), consumed, out.data(), produced) ||
            produced != packet.size())
            state.SkipWithError("the opener refused the frames");
        benchmark::DoNotOptimize(out.data());
    }
    Finish(state, packet.size());
}

// Packet sizes 32 KiB, 1 MiB and 4 MiB; kinds random (0) and text (1).
void PacketArgs(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgsProduct({{32 << 10, 1 << 20, 4 << 20}, {0, 1}})->ArgNames({"bytes", "text"});
}

BENCHMARK(BM_BareCompress2)->Apply(PacketArgs);
BENCHMARK(BM_PacketCompressor)->Apply(PacketArgs);
BENCHMARK(BM_CompressPacket)->Apply(PacketArgs);
BENCHMARK(BM_BareUncompress)->Apply(PacketArgs);
BENCHMARK(BM_InflateDecoder)->Apply(PacketArgs);
BENCHMARK(BM_BareBlowFishEncrypt)->Apply(PacketArgs);
BENCHMARK(BM_PacketEncipherer)->Apply(PacketArgs);
BENCHMARK(BM_EncryptPacket)->Apply(PacketArgs);
BENCHMARK(BM_BareBlowFishDecrypt)->Apply(PacketArgs);
BENCHMARK(BM_DecipherDecoder)->Apply(PacketArgs);
BENCHMARK(BM_BareAeadEncrypt)->Apply(PacketArgs);
BENCHMARK(BM_FrameSealer)->Apply(PacketArgs);
BENCHMARK(BM_BareAeadDecrypt)->Apply(PacketArgs);
BENCHMARK(BM_FrameOpener)->Apply(PacketArgs);

}  // namespace
}  // namespace fwp
