#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/sdk/fernwaypost_plugin.h"

namespace fwp {

// The API version a plug-in must report to be kept.
constexpr std::string_view PluginApiVersion = FWP_PLUGIN_API_VERSION;
// Length of every text buffer handed to a plug-in.
constexpr std::int32_t PluginTextBytes = 256;

// One plug-in library: its entry points, its seven information strings, and
// whether it runs. Missing entry points act as if they returned -1.
class TFernPlugin {
public:
    // Loads the library at path and reads its information strings.
    explicit TFernPlugin(const std::filesystem::path& path);
    ~TFernPlugin();
    TFernPlugin(const TFernPlugin&) = delete;
    TFernPlugin& operator=(const TFernPlugin&) = delete;

    bool Loaded() const { return m_module != nullptr; }
    const std::string& FileName() const { return m_fileName; }
    // Information string index (0 to 6), CP932 bytes.
    const std::string& GetInfo(int index) const { return m_info[static_cast<std::size_t>(index)]; }
    const std::string& Name() const { return m_info[FWP_INFO_NAME]; }
    const std::string& FunctionName() const { return m_info[FWP_INFO_FUNCTION]; }
    const std::string& Version() const { return m_info[FWP_INFO_VERSION]; }
    bool Running() const { return m_running; }

    std::int32_t Initialize(const TPluginServices& services);
    void Terminate();
    void Configuration(void* parent);
    std::int32_t ReceiveBuffer(const TPluginTaskInfo& info);
    // True when the plug-in names a path to save the file to (CP932 bytes).
    bool ReceiveFile(const TPluginTaskInfo& info, std::string_view fileName, std::string& savePath);
    void Progress(const TPluginTaskInfo& info, bool& continueTask);
    void Complete(const TPluginTaskInfo& info);

private:
    using TGetPluginInfo = std::int32_t (*)(std::int32_t, char*, std::int32_t);
    using TInitialize = std::int32_t (*)(const TPluginServices*);
    using TTerminate = std::int32_t (*)();
    using TConfiguration = std::int32_t (*)(void*);
    using TOnReceiveBuffer = std::int32_t (*)(const TPluginTaskInfo*);
    using TOnReceiveFile = std::int32_t (*)(const TPluginTaskInfo*, const char*, char*, std::int32_t);
    using TOnProgress = std::int32_t (*)(const TPluginTaskInfo*, std::uint8_t*);
    using TOnComplete = std::int32_t (*)(const TPluginTaskInfo*);

    void* m_module = nullptr;
    std::string m_fileName;
    std::array<std::string, 7> m_info;
    TGetPluginInfo m_getPluginInfo = nullptr;
    TInitialize m_initialize = nullptr;
    TTerminate m_terminate = nullptr;
    TConfiguration m_configuration = nullptr;
    TOnReceiveBuffer m_onReceiveBuffer = nullptr;
    TOnReceiveFile m_onReceiveFile = nullptr;
    TOnProgress m_onProgress = nullptr;
    TOnComplete m_onComplete = nullptr;
    bool m_running = false;
};

// The loaded plug-ins in loading order; an index stays the same for the
// whole run (it tags the menu entry and the settings row).
class TFernPluginList {
public:
    TFernPluginList() = default;
    ~TFernPluginList();
    TFernPluginList(const TFernPluginList&) = delete;
    TFernPluginList& operator=(const TFernPluginList&) = delete;

    // Loads every "*.so" of folder, in the order the folder lists them.
    void LoadFromFolder(const std::filesystem::path& folder);
    // Keeps the library when it loads, speaks the API version and has a name of its own.
    bool Add(const std::filesystem::path& path);
    // The index of the plug-in named name (case-sensitive), or -1.
    int IndexOf(std::string_view name) const;
    TFernPlugin* Find(std::string_view name) const;
    TFernPlugin& Items(std::size_t index) const { return *m_plugins[index]; }
    std::size_t Count() const { return m_plugins.size(); }
    void Delete(std::size_t index);
    // The end of the run: every plug-in is told to terminate and unloaded, in order.
    void Clear();

private:
    std::vector<std::unique_ptr<TFernPlugin>> m_plugins;
};

}  // namespace fwp
