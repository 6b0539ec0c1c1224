// What the peer says about plug-ins: the text of a plug-in message handed
// to the window's logic. The first byte tells whether the message is one this side sent (its own
// echo) or the peer's.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/front_end.h"
#include "app/main_controller.h"
#include "config/config.h"
#include "config/config_places.h"
#include "engine/poll_loop.h"

namespace {

class TSilentDialogs : public fwp::TDialogs {
public:
    fwp::TBoxAnswer MessageBox(std::string_view, std::string_view, fwp::TBoxIcon, fwp::TBoxButtons) override {
        return fwp::TBoxAnswer::baOk;
    }
    std::vector<std::filesystem::path> OpenFiles(std::string_view) override { return {}; }
    std::optional<std::filesystem::path> SaveFile(std::string_view, std::string_view, bool) override {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> ChooseFolder(std::string_view) override { return std::nullopt; }
};

fwp::TConfig& Config() {
    fwp::TConfigPlaces places;
    places.Home = "/nonexistent";
    places.UserDirTool = "/nonexistent/xdg-user-dir";
    static fwp::TConfig config("/nonexistent/config.ini", places);
    return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static fwp::TPollLoop loop;
    static fwp::TMainView view;
    static TSilentDialogs dialogs;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

    fwp::TMainController controller(loop, Config(), view, dialogs);
    fwp::TTranserTask task;
    task.ID = 1;
    task.Direction = (data[0] & 1) != 0 ? fwp::tdSend : fwp::tdReceive;
    task.Name = "PluginMessage:";
    controller.HandlePluginMessage(task, text);
    return 0;
}
