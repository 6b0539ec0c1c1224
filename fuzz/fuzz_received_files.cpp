// Files the peer sends to the window's logic, which saves them without
// asking into a receive folder: whatever the peer's name lines and packets
// hold, nothing may appear outside that folder, nothing in it but plain
// files, and no link planted there may be followed.
//
// The first byte of the input sets this side up:
//   bit 0  partly received files are resumed
//   bit 1  the folder already holds "a.txt" with 5 bytes
//   bit 2  the folder holds a link "evil" to a file outside it
// The rest is what the peer sends, as session_peer.h describes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/front_end.h"
#include "app/main_controller.h"
#include "config/config.h"
#include "config/config_places.h"
#include "fuzz/scratch.h"
#include "fuzz/session_peer.h"
#include "fuzz/silent_dialogs.h"

namespace {

namespace fs = std::filesystem;

fs::path Sandbox() {
    const fs::path folder = fwp::fuzz::ScratchFolder("received");
    fs::create_directory(folder / "in");
    return folder;
}

// The sandbox holds the receive folder and nothing else; the folder holds
// only plain files (the planted link aside).
void CheckAndEmpty(const fs::path& sandbox) {
    for (const fs::directory_entry& entry : fs::directory_iterator(sandbox))
        if (entry.path().filename() != "in")
            std::abort();
    for (const fs::directory_entry& entry : fs::directory_iterator(sandbox / "in")) {
        const bool planted = entry.path().filename() == "evil" && entry.is_symlink();
        if (!planted && (entry.is_symlink() || !entry.is_regular_file()))
            std::abort();
    }
    fs::remove_all(sandbox / "in");
    fs::create_directory(sandbox / "in");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    static fwp::fuzz::TFastLoop loop;
    static fwp::TMainView view;
    static fwp::fuzz::TSilentDialogs dialogs;
    static const fs::path sandbox = Sandbox();
    const std::uint8_t flags = data[0];
    if (flags & 2)
        std::ofstream(sandbox / "in" / "a.txt", std::ios::binary) << "01234";
    if (flags & 4)
        fs::create_symlink("../outside", sandbox / "in" / "evil");

    static fwp::TConfig config(sandbox / "config.ini", [] {
        fwp::TConfigPlaces places;
        places.Home = "/nonexistent";
        places.UserDirTool = "/nonexistent/xdg-user-dir";
        return places;
    }());
    config.AutoReceive = true;
    config.AutoResume = (flags & 1) != 0;
    config.ReceiveTo = (sandbox / "in").string() + "/";
    config.Reconnect = false;
    config.UseUPnP = false;
    {
        fwp::TMainController controller(loop, config, view, dialogs);
        fwp::TTranser& engine = controller.Transer();
        engine.Timeouts.Handshake = 2000;
        engine.Timeouts.NoResponse = 500;
        engine.Timeouts.CloseStep = 0;
        engine.Timeouts.IdleInterval = 60000;
        fwp::fuzz::RunPeerSession(loop, engine,
                                  std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
        engine.CloseSocket();
    }
    CheckAndEmpty(sandbox);
    return 0;
}
