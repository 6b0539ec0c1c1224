// The name line of a task the peer offers, read as an envelope, and the name
// a received file gets on disk from it. That name must stay one harmless
// path component: no "/", not "." or "..", no control character, at most 255
// bytes of whole UTF-8 characters. A name sent in the lossless form keeps a
// backslash as an ordinary character and may hold bytes that are no UTF-8,
// as the sender's file name did.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "app/envelope.h"
#include "app/transfer_actions.h"

namespace {

bool IsWholeUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80         ? 1
                                   : (lead >> 5) == 6  ? 2
                                   : (lead >> 4) == 14 ? 3
                                   : (lead >> 3) == 30 ? 4
                                                       : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const fwp::TEnvelope envelope =
        fwp::ParseEnvelope(line, [](std::string_view name) { return name == "notepad"; });
    if (envelope.Kind != fwp::TEnvelopeKind::ekFile && envelope.Kind != fwp::TEnvelopeKind::ekPluginFile)
        return 0;
    const std::optional<std::string> name = fwp::SafeReceiveName(envelope.FileName);
    // The lossless form carries a name's bytes as they were, also ones that are no UTF-8.
    const bool lossless = envelope.FileName.starts_with("\xEF\xBB\xBF");
    if (!name)
        return 0;
    bool harmless = !name->empty() && *name != "." && *name != ".." && name->size() <= 255 &&
                    name->find('/') == std::string::npos && (lossless || IsWholeUtf8(*name));
    for (const unsigned char c : *name)
        harmless = harmless && c >= 0x20 && c != 0x7F;
    if (!harmless)
        std::abort();
    return 0;
}
