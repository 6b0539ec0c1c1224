#pragma once

#include <chrono>
#include <filesystem>
#include <string>

// Whether a newer version has been published, and the small game of the
// version panel.
namespace fwp {

constexpr std::string_view VersionCheckAgent = "Fernwaypost GetVersion/1.0";

// True when the published version file changed on a later calendar day
// (Japan time, as the server's date is read) than the day this executable
// was written (local time). Errors of the HTTP request reach the caller.
bool IsNewVersionAvailable(const std::string& versionFileUrl, const std::filesystem::path& executable);
// The date comparison alone.
bool IsLaterDay(std::chrono::local_seconds published, std::chrono::local_seconds built);
// The executable's last write time in local time.
std::chrono::local_seconds LocalWriteTime(const std::filesystem::path& file);

// One step of the wandering icon: up by 10, and left by r - 30 (r from 0 to
// 99, so mostly left); it comes back from the bottom or the right edge.
struct TIconPlace {
    int Left = 0;
    int Top = 0;
};
TIconPlace WanderStep(TIconPlace place, int r, int iconWidth, int iconHeight, int panelWidth,
                      int panelHeight);

}  // namespace fwp
