#pragma once

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/front_end.h"
#include "app/main_controller.h"
#include "config/config.h"
#include "engine/poll_loop.h"
#include "tests/support/sandbox.h"
#include "tests/ui/window_fixture.h"

namespace fwp::test {

// The peer's program without its widgets: the window's logic on a thread of
// its own with its own loop, settings and copies of plug-ins, as the other
// user's program would run it. Plug-in services reach the host of the calling
// thread, so the window under test and this peer each serve their own plug-ins.
class TPeerHost {
public:
    // plugins are copied into a folder of this peer's own and loaded from there.
    TPeerHost(const TSandbox& box, const std::string& name,
              const std::vector<std::filesystem::path>& plugins);
    ~TPeerHost();
    TPeerHost(const TPeerHost&) = delete;
    TPeerHost& operator=(const TPeerHost&) = delete;

    // Runs fn on the peer's thread and returns its result.
    template <typename F>
    auto Call(F&& fn) -> decltype(fn(std::declval<TMainController&>())) {
        std::packaged_task<decltype(fn(std::declval<TMainController&>()))()> work(
            [&] { return fn(*m_controller); });
        auto result = work.get_future();
        m_loop.Post([&] { work(); });
        return result.get();
    }
    // Runs fn on the peer's thread without waiting for it.
    void Post(std::function<void(TMainController&)> fn);

    // The path of the copy of a plug-in file (by its file name).
    std::filesystem::path PluginCopy(const std::filesystem::path& plugin) const;
    // The text of a Test* export's log of the copy at index, read on the peer's thread.
    std::string PluginLog(std::size_t index);
    // The contents of the peer's rows, UTF-8.
    std::vector<std::string> Contents();
    int RowOf(const std::string& content);
    TConfig& Config() { return m_config; }

private:
    TConfig m_config;
    std::filesystem::path m_folder;
    std::vector<void*> m_modules;
    TPollLoop m_loop;
    TMainView m_view;
    TScriptedDialogs m_dialogs;
    std::unique_ptr<TMainController> m_controller;
    std::thread m_thread;
};

}  // namespace fwp::test
