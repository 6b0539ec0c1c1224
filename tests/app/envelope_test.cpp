#include "app/envelope.h"

#include <gtest/gtest.h>

namespace fwp {
namespace {

TEST(Envelope, NameLinesAreRecognisedInOrder) {
    const auto isPlugin = [](std::string_view name) {
        return name == "Notepad" || name == "FileTransfering:taken";
    };
    const struct {
        std::string line;
        TEnvelopeKind kind;
        std::string plugin;
        std::string file;
    } cases[] = {
        {"InstantMessage:", TEnvelopeKind::ekInstantMessage, "", ""},
        {"InstantMessage:x", TEnvelopeKind::ekUnknown, "", ""},
        {"instantmessage:", TEnvelopeKind::ekUnknown, "", ""},
        {"PluginMessage:", TEnvelopeKind::ekPluginMessage, "", ""},
        {"Notepad", TEnvelopeKind::ekPluginBuffer, "Notepad", ""},
        {"FileTransfering:taken", TEnvelopeKind::ekPluginBuffer, "FileTransfering:taken", ""},
        {"FileTransfering:", TEnvelopeKind::ekFile, "", ""},
        {"FileTransfering:a.txt", TEnvelopeKind::ekFile, "", "a.txt"},
        {"FileTransfering:Plugin:Notepad|b.txt", TEnvelopeKind::ekPluginFile, "Notepad", "b.txt"},
        {"FileTransfering:Plugin:Notepad|x|y", TEnvelopeKind::ekPluginFile, "Notepad", "x|y"},
        {"FileTransfering:Plugin:Notepad", TEnvelopeKind::ekPluginFile, "", "Notepad"},
        {"Other", TEnvelopeKind::ekUnknown, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const TEnvelope envelope = ParseEnvelope(c.line, isPlugin);
        EXPECT_EQ(envelope.Kind, c.kind);
        EXPECT_EQ(envelope.PluginName, c.plugin);
        EXPECT_EQ(envelope.FileName, c.file);
    }
}

TEST(Envelope, OnlyTheFirst1024BytesAfterThePrefixAreTheFileName) {
    const std::string name(1500, 'n');
    const TEnvelope envelope = ParseEnvelope("FileTransfering:" + name);
    EXPECT_EQ(envelope.FileName, name.substr(0, 1024));
    EXPECT_EQ(FileNameLine("a.txt"), "FileTransfering:a.txt");
}

}  // namespace
}  // namespace fwp
