#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "crypto/blowfish.h"

struct z_stream_s;

namespace fwp {

// The packet cipher: Blowfish in CBC mode with padding mode pmCount and this IV
// for every packet in both directions, so equal packets under one key give
// equal ciphertext. The key is the bytes of a key text (a digest text gives 32
// key bytes, not the 16 bytes it spells).
inline constexpr std::array<std::uint8_t, 8> PacketCipherIV = {0x3C, 0x9A, 0x0E, 0x71,
                                                               0xD4, 0x28, 0xB6, 0x5F};

// One complete zlib stream (header, deflate data at level 1, Adler-32) of data.
// Throws TError("error") when zlib fails.
std::string CompressPacket(std::string_view data);
// Inflates data and returns its first rawLength bytes. Throws TError("error")
// on a zlib error or when the stream ends before giving rawLength bytes. Like
// reading rawLength bytes from a decompressing stream, it does not look at what
// follows them, the stream's checksum included; TPacketDecoder is stricter.
std::string DecompressPacket(std::string_view data, std::int64_t rawLength);
// Enciphers data with the packet cipher keyed by the bytes of key; the result
// is 1 to 8 bytes longer than data (always whole blocks). Every function and
// class here that takes a key throws TCryptAssertion for an empty one.
std::string EncryptPacket(std::string_view data, std::string_view key);
// Deciphers with the packet cipher. The padding is not checked, so a wrong key
// gives bytes of some length, not an error. Throws TCryptAssertion when data is
// not a whole number of blocks.
std::string DecryptPacket(std::string_view data, std::string_view key);

// CompressPacket for a stream of packets: one deflate state reused for each
// packet. The output is byte for byte that of CompressPacket.
class TPacketCompressor {
public:
    TPacketCompressor();
    ~TPacketCompressor();
    TPacketCompressor(const TPacketCompressor&) = delete;
    TPacketCompressor& operator=(const TPacketCompressor&) = delete;

    // Replaces out with the zlib stream of in, reusing out's storage.
    void Compress(std::string_view in, std::string& out);
    // Compress, but only where it pays: false (out unspecified) when the
    // stream would not be smaller than in. After such a packet the next ones
    // are not even tried for a while (1, 2, 4 ... up to 256 packets as the
    // misses go on), so incompressible data costs next to no deflate time.
    bool CompressIfSmaller(std::string_view in, std::string& out);

private:
    std::unique_ptr<z_stream_s> m_stream;
    std::uint32_t m_skipSpan = 0;  // packets to skip after the next miss, 0 after a hit
    std::uint32_t m_skipLeft = 0;  // packets still to send without trying
};

// EncryptPacket for a stream of packets under one key: the key schedule runs
// once. The output is byte for byte that of EncryptPacket.
class TPacketEncipherer {
public:
    explicit TPacketEncipherer(std::string_view key);

    // Replaces out with the ciphertext of in, reusing out's storage.
    void Encrypt(std::string_view in, std::string& out);

private:
    TBlowFish m_cipher;
};

// Undoes the transform of one data packet while its payload arrives in pieces,
// so the receiver never holds more than one piece of payload. Decoded bytes are
// appended as soon as they are known, never more than rawLength per packet;
// the caller bounds rawLength before Begin. A packet that turns out bad
// (including at Finish) may already have produced output, which the caller
// must discard. One decoder serves any number of packets, one after the other.
class TPacketDecoder {
public:
    virtual ~TPacketDecoder() = default;
    // Starts a packet whose payload is wireLength bytes and must give rawLength bytes (both >= 0).
    virtual void Begin(std::int64_t rawLength, std::int64_t wireLength) = 0;
    // Takes the next piece of payload and appends the bytes it decodes to out (over the whole
    // packet never more than rawLength). Returns false once the payload is known to be bad;
    // further Feed calls then do nothing and return false. Feeding more than wireLength bytes
    // in total makes the payload bad.
    virtual bool Feed(const std::uint8_t* data, std::size_t length, std::string& out) = 0;
    // After the whole payload was fed: appends what is left; true only when the payload was
    // sound and exactly rawLength bytes came out in total.
    virtual bool Finish(std::string& out) = 0;
};

// Plain packets: the payload is the data; sound only when wireLength equals rawLength.
std::unique_ptr<TPacketDecoder> MakeDirectDecoder();
// Compressed packets: the payload must hold one whole zlib stream (checksum
// verified) giving exactly rawLength bytes; bytes after its end are ignored.
// Inflating stops at the first byte beyond rawLength, so a small stream that
// would inflate to gigabytes costs little.
std::unique_ptr<TPacketDecoder> MakeInflateDecoder();
// Enciphered packets under the packet cipher keyed by key: wireLength must be a
// positive multiple of 8, and the plaintext (wireLength minus the padding count
// in its last byte, at least 0) must have at least rawLength bytes, of which
// the first rawLength are the result. Pieces may be of any size.
std::unique_ptr<TPacketDecoder> MakeDecipherDecoder(std::string_view key);

}  // namespace fwp
