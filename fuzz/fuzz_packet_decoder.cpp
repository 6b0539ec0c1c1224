// The decoders of a data packet's payload, fed the way the session reader
// feeds them: the first bytes choose the transform, the two lengths and the
// piece size; the rest is the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "crypto/packet_transform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const int type = data[0] % 3;
    // The raw length is near the payload's length, as in a real packet, but may be off either way.
    const std::int64_t payload = static_cast<std::int64_t>(size - 4);
    const std::int64_t raw = std::max<std::int64_t>(0, payload * (1 + data[1] % 8) - (data[2] % 64));
    const std::size_t piece = 1 + data[3] % 64;
    data += 4;
    static const std::unique_ptr<fwp::TPacketDecoder> decoders[] = {
        fwp::MakeDirectDecoder(), fwp::MakeInflateDecoder(),
        fwp::MakeDecipherDecoder("0123456789abcdef0123456789abcdef")};
    fwp::TPacketDecoder& decoder = *decoders[type];
    std::string out;
    decoder.Begin(raw, payload);
    bool sound = true;
    for (std::int64_t at = 0; at < payload && sound; at += static_cast<std::int64_t>(piece)) {
        const auto length = static_cast<std::size_t>(std::min<std::int64_t>(piece, payload - at));
        sound = decoder.Feed(data + at, length, out);
    }
    if (sound)
        sound = decoder.Finish(out);
    // However the payload is made, a decoder never gives more than the raw length.
    if (static_cast<std::int64_t>(out.size()) > raw)
        std::abort();
    if (sound && static_cast<std::int64_t>(out.size()) != raw)
        std::abort();
    return 0;
}
