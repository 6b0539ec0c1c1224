#include "app/version_check.h"

#include <ctime>

#include <sys/stat.h>

#include "connect/http.h"

namespace fwp {

bool IsLaterDay(std::chrono::local_seconds published, std::chrono::local_seconds built) {
    return std::chrono::floor<std::chrono::days>(published) > std::chrono::floor<std::chrono::days>(built);
}

std::chrono::local_seconds LocalWriteTime(const std::filesystem::path& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return {};
    std::tm local{};
    ::localtime_r(&st.st_mtime, &local);
    const std::chrono::year_month_day day{std::chrono::year(local.tm_year + 1900),
                                          std::chrono::month(static_cast<unsigned>(local.tm_mon + 1)),
                                          std::chrono::day(static_cast<unsigned>(local.tm_mday))};
    return std::chrono::local_days(day) + std::chrono::hours(local.tm_hour) +
           std::chrono::minutes(local.tm_min) + std::chrono::seconds(local.tm_sec);
}

bool IsNewVersionAvailable(const std::string& versionFileUrl, const std::filesystem::path& executable) {
    const auto published = HttpHeadLastModified(versionFileUrl, std::string(VersionCheckAgent));
    return IsLaterDay(published, LocalWriteTime(executable));
}

TIconPlace WanderStep(TIconPlace place, int r, int iconWidth, int iconHeight, int panelWidth,
                      int panelHeight) {
    place.Left = place.Left - r + 30;
    place.Top = place.Top - 10;
    if (place.Top <= -iconHeight)
        place.Top = panelHeight;
    if (place.Left <= -iconWidth)
        place.Left = panelWidth;
    return place;
}

}  // namespace fwp
