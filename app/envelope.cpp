#include "app/envelope.h"

namespace fwp {

TEnvelope ParseEnvelope(std::string_view nameLine,
                        const std::function<bool(std::string_view)>& isPluginName) {
    TEnvelope result;
    if (nameLine == envelope::InstantMessage) {
        result.Kind = TEnvelopeKind::ekInstantMessage;
        return result;
    }
    if (nameLine == envelope::PluginMessage) {
        result.Kind = TEnvelopeKind::ekPluginMessage;
        return result;
    }
    if (isPluginName && isPluginName(nameLine)) {
        result.Kind = TEnvelopeKind::ekPluginBuffer;
        result.PluginName = nameLine;
        return result;
    }
    if (!nameLine.starts_with(envelope::FilePrefix))
        return result;
    // Only 1024 bytes after the prefix count; the rest of the line is dropped.
    const std::string_view rest = nameLine.substr(envelope::FilePrefix.size(), envelope::MaxFileNameBytes);
    if (rest.starts_with(envelope::PluginFilePrefix)) {
        const std::string_view plugin = rest.substr(envelope::PluginFilePrefix.size());
        const std::size_t bar = plugin.find('|');
        result.Kind = TEnvelopeKind::ekPluginFile;
        if (bar == std::string_view::npos) {
            // Without "|" the plug-in's name is empty, so no plug-in takes it.
            result.FileName = plugin;
        } else {
            result.PluginName = plugin.substr(0, bar);
            result.FileName = plugin.substr(bar + 1, envelope::MaxFileNameBytes);
        }
        return result;
    }
    result.Kind = TEnvelopeKind::ekFile;
    result.FileName = rest;
    return result;
}

std::string FileNameLine(std::string_view fileName) {
    std::string line(envelope::FilePrefix);
    line += fileName;
    return line;
}

}  // namespace fwp
