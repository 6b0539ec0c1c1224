#include "tests/app/peer_host.h"

#include "common/codec.h"

namespace fwp::test {

TPeerHost::TPeerHost(const TSandbox& box, const std::string& name,
                     const std::vector<std::filesystem::path>& plugins, std::unique_ptr<TMainView> view,
                     std::unique_ptr<TDialogs> dialogs)
    : m_config(box.Path(name + ".ini")),
      m_folder(box.Folder(name + "-plugin")),
      m_view(std::move(view)),
      m_dialogs(std::move(dialogs)) {
    m_config.UseUPnP = false;
    m_config.FirstRunning = false;
    m_config.ReceiveTo = box.Folder(name + "-in").string() + "/";
    for (const auto& plugin : plugins)
        std::filesystem::copy_file(plugin, PluginCopy(plugin));
    m_thread = std::thread([this] { m_loop.Run(); });
    std::promise<void> made;
    m_loop.Post([&] {
        m_controller = std::make_unique<TMainController>(m_loop, m_config, *m_view, *m_dialogs);
        m_loop.OnError = [this](const std::exception& error) { m_controller->LoopError(error); };
        m_controller->LoadPlugins(m_folder);
        made.set_value();
    });
    made.get_future().wait();
    // The same files again: the handles reach the copies' Test* exports.
    for (const auto& plugin : plugins)
        m_modules.push_back(::dlopen(PluginCopy(plugin).c_str(), RTLD_NOW));
}

TPeerHost::~TPeerHost() {
    Call([](TMainController& c) {
        c.Transer().CloseSocket();
        return 0;
    });
    std::promise<void> gone;
    m_loop.Post([&] {
        m_controller.reset();
        gone.set_value();
    });
    gone.get_future().wait();
    m_loop.Quit();
    m_thread.join();
    for (void* module : m_modules)
        if (module)
            ::dlclose(module);
}

void TPeerHost::Post(std::function<void(TMainController&)> fn) {
    m_loop.Post([this, fn = std::move(fn)] {
        if (m_controller)
            fn(*m_controller);
    });
}

std::filesystem::path TPeerHost::PluginCopy(const std::filesystem::path& plugin) const {
    return m_folder / plugin.filename();
}

std::string TPeerHost::Log(std::size_t index) {
    return Plugin<const char* (*)()>(index, "TestLog");
}

std::vector<std::string> TPeerHost::Contents() {
    return Call([](TMainController& c) {
        std::vector<std::string> rows;
        for (std::size_t i = 0; i < c.Rows().Count(); ++i)
            rows.push_back(codec::Cp932ToUtf8(c.Rows().Row(i).Content));
        return rows;
    });
}

int TPeerHost::RowOf(const std::string& content) {
    const auto rows = Contents();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i] == content)
            return static_cast<int>(i);
    return -1;
}

}  // namespace fwp::test
