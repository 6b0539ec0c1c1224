// What the peer says about plug-ins: plug-in messages handed to the window's
// logic, which has one real plug-in loaded ("TestPlugin", version "1.0").
// Each line of the input is one message; its first byte tells whether it is
// one this side sent (its own echo) or the peer's, so that an invitation and
// its answer can meet.
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
#include "fuzz/silent_dialogs.h"

namespace {

fwp::TConfig& Config() {
    fwp::TConfigPlaces places;
    places.Home = "/nonexistent";
    places.UserDirTool = "/nonexistent/xdg-user-dir";
    static fwp::TConfig config("/nonexistent/config.ini", places);
    return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fwp::TPollLoop loop;
    static fwp::TMainView view;
    static fwp::fuzz::TSilentDialogs dialogs;
    fwp::TMainController controller(loop, Config(), view, dialogs);
    controller.LoadPlugins(FWP_FUZZ_PLUGIN_FOLDER);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t lineEnd = input.find('\n');
        const std::string_view line = input.substr(0, lineEnd);
        input.remove_prefix(lineEnd == std::string_view::npos ? input.size() : lineEnd + 1);
        if (line.empty())
            continue;
        fwp::TTranserTask task;
        task.ID = 1;
        task.Direction = (line[0] & 1) != 0 ? fwp::tdSend : fwp::tdReceive;
        task.Name = "PluginMessage:";
        controller.HandlePluginMessage(task, std::string(line.substr(1)));
    }
    return 0;
}
