#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// What a task carries is told by its name line. Names are CP932 bytes,
// compared byte for byte.
namespace fwp {

namespace envelope {
constexpr std::string_view InstantMessage = "InstantMessage:";
constexpr std::string_view PluginMessage = "PluginMessage:";
constexpr std::string_view FilePrefix = "FileTransfering:";
constexpr std::string_view PluginFilePrefix = "Plugin:";
constexpr std::size_t MaxFileNameBytes = 1024;
}  // namespace envelope

enum class TEnvelopeKind : std::uint8_t {
    ekUnknown,         // matches nothing: every handler ignores it
    ekInstantMessage,  // exactly "InstantMessage:"
    ekPluginMessage,   // exactly "PluginMessage:"
    ekPluginBuffer,    // exactly the name of a loaded plug-in
    ekFile,            // "FileTransfering:" + file name
    ekPluginFile,      // "FileTransfering:Plugin:" + plug-in name + "|" + file name
};

struct TEnvelope {
    TEnvelopeKind Kind = TEnvelopeKind::ekUnknown;
    std::string PluginName;  // for plug-in buffers and plug-in files
    std::string FileName;    // for files and plug-in files, at most 1024 bytes
};

// Recognises a name line: first the two exact message names, then the name
// of a loaded plug-in (isPluginName, may be empty), then the file prefix.
TEnvelope ParseEnvelope(std::string_view nameLine,
                        const std::function<bool(std::string_view)>& isPluginName = nullptr);

// The name line of a file offer for a file name (CP932 bytes, no folder).
std::string FileNameLine(std::string_view fileName);

}  // namespace fwp
