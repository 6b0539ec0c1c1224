#pragma once

#include <dlfcn.h>

#include <chrono>
#include <cstring>
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

namespace fwp::test {

// A program without its widgets: the window's logic on a thread of its own
// with its own loop, settings and copies of plug-ins, as the other user's
// program would run it. Plug-in services reach the host of the calling
// thread, so two of these (or one and a window) each serve their own plug-ins.
class TPeerHost {
public:
    // plugins are copied into a folder of this peer's own and loaded from there.
    TPeerHost(const TSandbox& box, const std::string& name, const std::vector<std::filesystem::path>& plugins,
              std::unique_ptr<TMainView> view, std::unique_ptr<TDialogs> dialogs);
    virtual ~TPeerHost();
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

    // Calls the Test* export name of the plug-in copy at index on the peer's thread.
    template <typename F, typename... A>
    auto Plugin(std::size_t index, const char* name, A... args) {
        void* address = ::dlsym(m_modules.at(index), name);
        F function = nullptr;
        std::memcpy(&function, &address, sizeof function);
        return Call([&](TMainController&) { return function(args...); });
    }
    // The test plug-in's log of the copy at index.
    std::string Log(std::size_t index = 0);

    // The path of the copy of a plug-in file (by its file name).
    std::filesystem::path PluginCopy(const std::filesystem::path& plugin) const;
    // The contents of the peer's rows, UTF-8.
    std::vector<std::string> Contents();
    int RowOf(const std::string& content);
    bool HasRow(const std::string& content) { return RowOf(content) >= 0; }
    TConfig& Config() { return m_config; }

private:
    TConfig m_config;
    std::filesystem::path m_folder;
    std::vector<void*> m_modules;
    TPollLoop m_loop;
    std::unique_ptr<TMainView> m_view;
    std::unique_ptr<TDialogs> m_dialogs;
    std::unique_ptr<TMainController> m_controller;
    std::thread m_thread;
};

}  // namespace fwp::test
