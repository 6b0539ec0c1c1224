#include "crypto/packet_transform.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "common/error.h"
#include "crypto/cipher.h"

namespace fwp {
namespace {

constexpr int CompressionLevel = 1;  // best speed
// zlib counts in 32-bit words; larger buffers are handed over in pieces of this size.
constexpr std::size_t MaxZlibChunk = std::size_t{1} << 30;
// Output room first handed to inflate; it grows with what inflate gives. Kept
// small so that a payload arriving in tiny pieces costs little per piece.
constexpr std::size_t MinInflateRoom = 256;

[[noreturn]] void ThrowZlibError() {
    throw TError("error");
}

uInt ZlibChunk(std::size_t length) {
    return static_cast<uInt>(std::min(length, MaxZlibChunk));
}

Bytef* BytesOf(std::string& text, std::size_t offset) {
    return reinterpret_cast<Bytef*>(text.data() + offset);
}

const Bytef* BytesOf(std::string_view text) {
    return reinterpret_cast<const Bytef*>(text.data());
}

void InitDeflate(z_stream& stream) {
    stream = z_stream{};
    if (deflateInit(&stream, CompressionLevel) != Z_OK)
        ThrowZlibError();
}

// Runs a freshly initialised or reset deflate state over all of in and makes
// out the finished zlib stream.
void DeflateAll(z_stream& stream, std::string_view in, std::string& out) {
    out.resize(deflateBound(&stream, static_cast<uLong>(in.size())));
    stream.next_in = const_cast<Bytef*>(BytesOf(in));  // zlib does not write through next_in
    std::size_t inLeft = in.size();
    std::size_t outDone = 0;
    for (;;) {
        if (outDone == out.size())
            out.resize(out.size() * 2 + 64);  // not expected: deflateBound is an upper bound
        const uInt inChunk = ZlibChunk(inLeft);
        stream.avail_in = inChunk;
        stream.next_out = BytesOf(out, outDone);
        stream.avail_out = ZlibChunk(out.size() - outDone);
        const uInt outChunk = stream.avail_out;
        const int result = deflate(&stream, inChunk == inLeft ? Z_FINISH : Z_NO_FLUSH);
        inLeft -= inChunk - stream.avail_in;
        outDone += outChunk - stream.avail_out;
        if (result == Z_STREAM_END)
            break;
        if (result != Z_OK && result != Z_BUF_ERROR)
            ThrowZlibError();
    }
    out.resize(outDone);
}

// Ends a zlib state when leaving a scope.
struct TInflateEnd {
    z_stream* stream;
    ~TInflateEnd() { inflateEnd(stream); }
};

struct TDeflateEnd {
    z_stream* stream;
    ~TDeflateEnd() { deflateEnd(stream); }
};

TBlockWords PacketIVWords() {
    return {TBlowFish::LoadBigEndian(PacketCipherIV.data()),
            TBlowFish::LoadBigEndian(PacketCipherIV.data() + 4)};
}

void SetPacketKey(TBlowFish& cipher, std::string_view key) {
    cipher.SetKey(reinterpret_cast<const std::uint8_t*>(key.data()), static_cast<std::int32_t>(key.size()));
}

TCryptCBC MakePacketCipher(std::string_view key) {
    return TCryptCBC(key, new TBlowFish, PacketCipherIV.data(),
                     static_cast<std::int32_t>(PacketCipherIV.size()), TPaddingMode::pmCount, true);
}

// Plain payloads pass through unchanged.
class TDirectDecoder final : public TPacketDecoder {
public:
    void Begin(std::int64_t rawLength, std::int64_t wireLength) override {
        m_wireLength = wireLength;
        m_fed = 0;
        m_bad = rawLength < 0 || wireLength < 0 || rawLength != wireLength;
    }

    bool Feed(const std::uint8_t* data, std::size_t length, std::string& out) override {
        if (m_bad)
            return false;
        if (length > static_cast<std::uint64_t>(m_wireLength - m_fed)) {
            m_bad = true;
            return false;
        }
        m_fed += static_cast<std::int64_t>(length);
        out.append(reinterpret_cast<const char*>(data), length);
        return true;
    }

    bool Finish(std::string& /*out*/) override { return !m_bad && m_fed == m_wireLength; }

private:
    std::int64_t m_wireLength = 0;
    std::int64_t m_fed = 0;
    bool m_bad = true;
};

// Inflates a payload piece by piece with one inflate state for all packets.
class TInflateDecoder final : public TPacketDecoder {
public:
    TInflateDecoder() {
        if (inflateInit(&m_stream) != Z_OK)
            ThrowZlibError();
    }
    ~TInflateDecoder() override { inflateEnd(&m_stream); }
    TInflateDecoder(const TInflateDecoder&) = delete;
    TInflateDecoder& operator=(const TInflateDecoder&) = delete;

    void Begin(std::int64_t rawLength, std::int64_t wireLength) override {
        m_rawLength = rawLength;
        m_wireLength = wireLength;
        m_fed = 0;
        m_produced = 0;
        m_ended = false;
        m_bad = rawLength < 0 || wireLength < 0 || inflateReset(&m_stream) != Z_OK;
    }

    bool Feed(const std::uint8_t* data, std::size_t length, std::string& out) override;

    bool Finish(std::string& /*out*/) override {
        return !m_bad && m_ended && m_fed == m_wireLength && m_produced == m_rawLength;
    }

private:
    bool Fail() {
        m_bad = true;
        return false;
    }

    z_stream m_stream{};
    std::int64_t m_rawLength = 0;
    std::int64_t m_wireLength = 0;
    std::int64_t m_fed = 0;
    std::int64_t m_produced = 0;
    bool m_ended = false;
    bool m_bad = true;
};

bool TInflateDecoder::Feed(const std::uint8_t* data, std::size_t length, std::string& out) {
    if (m_bad)
        return false;
    if (length > static_cast<std::uint64_t>(m_wireLength - m_fed))
        return Fail();
    m_fed += static_cast<std::int64_t>(length);
    if (m_ended || length == 0)
        return true;  // bytes after the end of the stream do not count

    m_stream.next_in = const_cast<Bytef*>(data);  // zlib does not write through next_in
    std::size_t inLeft = length;
    std::size_t room = std::max(MinInflateRoom, 4 * inLeft);
    for (;;) {
        const auto wanted = static_cast<std::uint64_t>(m_rawLength - m_produced);
        const std::size_t outStart = out.size();
        std::uint8_t probe = 0;
        const uInt inChunk = ZlibChunk(inLeft);
        m_stream.avail_in = inChunk;
        if (wanted == 0) {
            // Every wanted byte is out; one byte of room tells whether the stream
            // ends here or would give more (then the packet is bad).
            m_stream.next_out = &probe;
            m_stream.avail_out = 1;
        } else {
            // Room doubles with what inflate gives, so zero-filling new room costs
            // no more than the output itself.
            const auto grant = static_cast<std::size_t>(std::min<std::uint64_t>(wanted, room));
            out.resize(outStart + grant);
            m_stream.next_out = BytesOf(out, outStart);
            m_stream.avail_out = ZlibChunk(grant);
        }
        const uInt outChunk = m_stream.avail_out;
        const int result = inflate(&m_stream, Z_NO_FLUSH);
        const std::size_t consumed = inChunk - m_stream.avail_in;
        const std::size_t produced = outChunk - m_stream.avail_out;
        inLeft -= consumed;

        if (wanted == 0) {
            if (produced > 0)
                return Fail();
        } else {
            out.resize(outStart + produced);
            m_produced += static_cast<std::int64_t>(produced);
            room = std::max(room, 2 * produced);
        }

        if (result == Z_STREAM_END) {
            m_ended = true;
            return true;
        }
        if (result == Z_BUF_ERROR || (result == Z_OK && consumed == 0 && produced == 0))
            return inLeft == 0 ? true : Fail();  // no progress: it waits for the next piece
        if (result != Z_OK)
            return Fail();  // corrupt data, a preset dictionary, or no memory
        if (inLeft == 0 && m_stream.avail_out > 0)
            return true;  // this piece is used up; the stream goes on in the next
    }
}

// Deciphers a payload piece by piece; blocks may be split across pieces.
class TDecipherDecoder final : public TPacketDecoder {
public:
    explicit TDecipherDecoder(std::string_view key) { SetPacketKey(m_cipher, key); }

    void Begin(std::int64_t rawLength, std::int64_t wireLength) override {
        m_rawLength = rawLength;
        m_wireLength = wireLength;
        m_fed = 0;
        m_produced = 0;
        m_nextBlock = 0;
        m_partialLength = 0;
        m_chain = PacketIVWords();
        m_bad = rawLength < 0 || wireLength <= 0 || wireLength % TBlowFish::BlockBytes != 0 ||
                rawLength > wireLength;
        m_lastBlock = m_bad ? 0 : wireLength / TBlowFish::BlockBytes - 1;
    }

    bool Feed(const std::uint8_t* data, std::size_t length, std::string& out) override;

    bool Finish(std::string& /*out*/) override {
        if (m_bad || m_fed != m_wireLength)
            return false;
        // Padding mode pmCount: the last plaintext byte counts the padding, unchecked.
        const std::int64_t plainLength = std::max<std::int64_t>(m_wireLength - m_lastPlain[7], 0);
        return plainLength >= m_rawLength && m_produced == m_rawLength;
    }

private:
    void DecodeBlocks(const std::uint8_t* data, std::int64_t count, std::string& out);

    static constexpr std::size_t BlockBytes = TBlowFish::BlockBytes;

    TBlowFish m_cipher;
    TBlockWords m_chain;
    std::int64_t m_rawLength = 0;
    std::int64_t m_wireLength = 0;
    std::int64_t m_fed = 0;
    std::int64_t m_produced = 0;
    std::int64_t m_nextBlock = 0;                      // index of the next whole block to decode
    std::int64_t m_lastBlock = 0;                      // index of the payload's last block
    std::array<std::uint8_t, BlockBytes> m_partial{};  // a block split across pieces
    std::size_t m_partialLength = 0;
    std::array<std::uint8_t, BlockBytes> m_lastPlain{};  // plaintext of the last block
    bool m_bad = true;
};

bool TDecipherDecoder::Feed(const std::uint8_t* data, std::size_t length, std::string& out) {
    if (m_bad)
        return false;
    if (length > static_cast<std::uint64_t>(m_wireLength - m_fed)) {
        m_bad = true;
        return false;
    }
    m_fed += static_cast<std::int64_t>(length);

    if (m_partialLength > 0) {
        const std::size_t take = std::min(length, BlockBytes - m_partialLength);
        if (take > 0)
            std::memcpy(m_partial.data() + m_partialLength, data, take);
        m_partialLength += take;
        data += take;
        length -= take;
        if (m_partialLength < BlockBytes)
            return true;
        DecodeBlocks(m_partial.data(), 1, out);
        m_partialLength = 0;
    }
    const std::size_t whole = length / BlockBytes;
    DecodeBlocks(data, static_cast<std::int64_t>(whole), out);
    m_partialLength = length - whole * BlockBytes;
    if (m_partialLength > 0)
        std::memcpy(m_partial.data(), data + whole * BlockBytes, m_partialLength);
    return true;
}

void TDecipherDecoder::DecodeBlocks(const std::uint8_t* data, std::int64_t count, std::string& out) {
    constexpr auto blockBytes = static_cast<std::int64_t>(BlockBytes);
    while (count > 0) {
        std::int64_t run = 0;
        if (m_nextBlock * blockBytes < m_rawLength) {
            // Blocks that hold wanted bytes are deciphered straight into out.
            run = std::min(count, (m_rawLength - m_nextBlock * blockBytes + blockBytes - 1) / blockBytes);
            const std::size_t start = out.size();
            const auto bytes = static_cast<std::size_t>(run) * BlockBytes;
            out.resize(start + bytes);
            auto* plain = reinterpret_cast<std::uint8_t*>(out.data() + start);
            m_cipher.DecryptCBC(data, plain, static_cast<std::size_t>(run), m_chain);
            if (m_nextBlock + run - 1 == m_lastBlock)
                std::memcpy(m_lastPlain.data(), plain + bytes - BlockBytes, BlockBytes);
            const std::int64_t surplus = m_produced + static_cast<std::int64_t>(bytes) - m_rawLength;
            if (surplus > 0)
                out.erase(out.size() - static_cast<std::size_t>(surplus));
            m_produced = std::min(m_produced + static_cast<std::int64_t>(bytes), m_rawLength);
        } else if (m_nextBlock < m_lastBlock) {
            // Blocks past rawLength, except the last, only feed the chaining.
            run = std::min(count, m_lastBlock - m_nextBlock);
            const std::uint8_t* block = data + (run - 1) * blockBytes;
            m_chain = {TBlowFish::LoadBigEndian(block), TBlowFish::LoadBigEndian(block + 4)};
        } else {
            // The last block: only its final byte, the padding count, is needed.
            run = 1;
            m_cipher.DecryptCBC(data, m_lastPlain.data(), 1, m_chain);
        }
        m_nextBlock += run;
        data += run * blockBytes;
        count -= run;
    }
}

}  // namespace

std::string CompressPacket(std::string_view data) {
    z_stream stream;
    InitDeflate(stream);
    const TDeflateEnd end{&stream};
    std::string out;
    DeflateAll(stream, data, out);
    return out;
}

std::string DecompressPacket(std::string_view data, std::int64_t rawLength) {
    if (rawLength < 0)
        ThrowZlibError();
    std::string out;
    if (rawLength == 0)
        return out;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        ThrowZlibError();
    const TInflateEnd end{&stream};

    // The output grows with what inflate gives rather than to rawLength at once,
    // so a header claiming a huge length cannot make us reserve it.
    const auto wanted = static_cast<std::uint64_t>(rawLength);
    out.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(wanted, std::max(MinInflateRoom, 4 * data.size()))));
    stream.next_in = const_cast<Bytef*>(BytesOf(data));  // zlib does not write through next_in
    std::size_t inLeft = data.size();
    std::size_t outDone = 0;
    for (;;) {
        if (outDone == out.size())
            out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(wanted, 2 * out.size())));
        const uInt inChunk = ZlibChunk(inLeft);
        stream.avail_in = inChunk;
        stream.next_out = BytesOf(out, outDone);
        stream.avail_out = ZlibChunk(out.size() - outDone);
        const uInt outChunk = stream.avail_out;
        const int result = inflate(&stream, Z_NO_FLUSH);
        inLeft -= inChunk - stream.avail_in;
        outDone += outChunk - stream.avail_out;
        if (outDone == wanted)
            return out;
        // The stream ended early, is corrupt, or is cut short.
        if (result != Z_OK || (inLeft == 0 && stream.avail_in == 0 && stream.avail_out > 0))
            ThrowZlibError();
    }
}

std::string EncryptPacket(std::string_view data, std::string_view key) {
    TCryptCBC crypt = MakePacketCipher(key);
    std::string out(crypt.OutputSize(data.size()), '\0');
    const std::size_t length = crypt.Encrypt(reinterpret_cast<const std::uint8_t*>(data.data()),
                                             reinterpret_cast<std::uint8_t*>(out.data()), data.size());
    out.resize(length);
    return out;
}

std::string DecryptPacket(std::string_view data, std::string_view key) {
    TCryptCBC crypt = MakePacketCipher(key);
    std::string out(data.size(), '\0');
    const std::size_t length = crypt.Decrypt(reinterpret_cast<const std::uint8_t*>(data.data()),
                                             reinterpret_cast<std::uint8_t*>(out.data()), data.size());
    out.resize(length);
    return out;
}

TPacketCompressor::TPacketCompressor() : m_stream(std::make_unique<z_stream>()) {
    InitDeflate(*m_stream);
}

TPacketCompressor::~TPacketCompressor() {
    deflateEnd(m_stream.get());
}

void TPacketCompressor::Compress(std::string_view in, std::string& out) {
    if (deflateReset(m_stream.get()) != Z_OK)
        ThrowZlibError();
    DeflateAll(*m_stream, in, out);
}

bool TPacketCompressor::CompressIfSmaller(std::string_view in, std::string& out) {
    constexpr std::uint32_t maxSkip = 256;
    if (m_skipLeft > 0) {
        --m_skipLeft;
        return false;
    }
    Compress(in, out);
    if (out.size() < in.size()) {
        m_skipSpan = 0;
        return true;
    }
    m_skipSpan = m_skipSpan == 0 ? 1 : std::min(m_skipSpan * 2, maxSkip);
    m_skipLeft = m_skipSpan;
    return false;
}

TPacketEncipherer::TPacketEncipherer(std::string_view key) {
    SetPacketKey(m_cipher, key);
}

void TPacketEncipherer::Encrypt(std::string_view in, std::string& out) {
    constexpr std::size_t blockBytes = TBlowFish::BlockBytes;
    const std::size_t whole = in.size() / blockBytes;
    const std::size_t rest = in.size() % blockBytes;
    out.resize((whole + 1) * blockBytes);
    auto* cipherText = reinterpret_cast<std::uint8_t*>(out.data());
    TBlockWords chain = PacketIVWords();
    m_cipher.EncryptCBC(reinterpret_cast<const std::uint8_t*>(in.data()), cipherText, whole, chain);

    // Padding mode pmCount: the last block is filled up with bytes counting the filler.
    std::array<std::uint8_t, blockBytes> last;
    if (rest > 0)
        std::memcpy(last.data(), in.data() + whole * blockBytes, rest);
    std::fill(last.begin() + static_cast<std::ptrdiff_t>(rest), last.end(),
              static_cast<std::uint8_t>(blockBytes - rest));
    m_cipher.EncryptCBC(last.data(), cipherText + whole * blockBytes, 1, chain);
}

std::unique_ptr<TPacketDecoder> MakeDirectDecoder() {
    return std::make_unique<TDirectDecoder>();
}

std::unique_ptr<TPacketDecoder> MakeInflateDecoder() {
    return std::make_unique<TInflateDecoder>();
}

std::unique_ptr<TPacketDecoder> MakeDecipherDecoder(std::string_view key) {
    return std::make_unique<TDecipherDecoder>(key);
}

}  // namespace fwp
