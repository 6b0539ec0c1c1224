// config.ini as found on disk: reading keys from it, and writing one key,
// which must read back as written and leave the other keys as they were.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/error.h"
#include "fuzz/scratch.h"
#include "config/ini_file.h"

namespace {

std::filesystem::path FuzzFile() {
    return fwp::fuzz::ScratchFolder("ini") / "config.ini";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path path = FuzzFile();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fwp::TIniFile ini(path);
    const std::optional<std::string> kept = ini.ReadString("Option", "PacketType");
    ini.ReadString("\x82\x9f", "Key");  // a section name of one CP932 character
    try {
        ini.WriteString("Fuzz", "Key", " written value");
    } catch (const fwp::TStreamError&) {
        return 0;
    }
    if (ini.ReadString("Fuzz", "Key") != "written value")
        std::abort();
    if (ini.ReadString("Option", "PacketType") != kept)
        std::abort();
    return 0;
}
