// config.ini read as the program's settings. Whatever the file holds, the
// settings read from it, saved and read again, are the same settings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/scratch.h"
#include "config/config.h"
#include "config/config_places.h"

namespace {

std::filesystem::path FuzzFile() {
    return fwp::fuzz::ScratchFolder("config") / "config.ini";
}

bool SameSettings(const fwp::TConfig& a, const fwp::TConfig& b) {
    return a.UserName == b.UserName && a.UseEasyConnection == b.UseEasyConnection && a.UseUPnP == b.UseUPnP &&
           a.Port == b.Port && a.DirectConnectTo == b.DirectConnectTo && a.AutoReceive == b.AutoReceive &&
           a.AutoResume == b.AutoResume && a.AutoInviteAllowing == b.AutoInviteAllowing &&
           a.ReceiveTo == b.ReceiveTo && a.PacketType == b.PacketType && a.BufferSize == b.BufferSize &&
           a.SoundAlarm == b.SoundAlarm && a.Reconnect == b.Reconnect && a.TimeViewMode == b.TimeViewMode &&
           a.MaxSendCount == b.MaxSendCount && a.MinimizeOnTray == b.MinimizeOnTray &&
           a.MsgrUseEasyConnection == b.MsgrUseEasyConnection && a.EasyServiceURL == b.EasyServiceURL;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path path = FuzzFile();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fwp::TConfigPlaces places;
    places.Home = "/nonexistent";
    places.UserDirTool = "/nonexistent/xdg-user-dir";
    fwp::TConfig first(path, places);
    first.Load();
    first.Save();  // cuts the recent addresses to ten and ends the folder in "/"
    fwp::TConfig second(path, places);
    second.Load();
    if (!SameSettings(first, second))
        std::abort();
    return 0;
}
