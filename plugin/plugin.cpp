#include "plugin/plugin.h"

#include <cstring>

#include <dirent.h>
#include <dlfcn.h>
#include <link.h>

namespace fwp {
namespace {

template <typename T>
T Resolve(void* module, const char* name) {
    // dlsym hands back an object pointer; the entry points are functions.
    void* address = ::dlsym(module, name);
    T function = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function;
}

}  // namespace

TFernPlugin::TFernPlugin(const std::filesystem::path& path) : m_fileName(path.string()) {
    m_module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_module) {
        // The path the system reports for the loaded module.
        link_map* map = nullptr;
        if (::dlinfo(m_module, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
            m_fileName = map->l_name;
        m_getPluginInfo = Resolve<TGetPluginInfo>(m_module, "GetPluginInfo");
        m_initialize = Resolve<TInitialize>(m_module, "Initialize");
        m_terminate = Resolve<TTerminate>(m_module, "Terminate");
        m_configuration = Resolve<TConfiguration>(m_module, "Configuration");
        m_onReceiveBuffer = Resolve<TOnReceiveBuffer>(m_module, "OnReceiveBuffer");
        m_onReceiveFile = Resolve<TOnReceiveFile>(m_module, "OnReceiveFile");
        m_onProgress = Resolve<TOnProgress>(m_module, "OnProgress");
        m_onComplete = Resolve<TOnComplete>(m_module, "OnComplete");
    }
    for (int index = 0; index < 7 && m_getPluginInfo; ++index) {
        // A fresh buffer each time; a string that fills it without a zero is taken whole.
        char buffer[PluginTextBytes + 1] = {};
        if (m_getPluginInfo(index, buffer, PluginTextBytes) > 0)
            m_info[static_cast<std::size_t>(index)].assign(buffer, ::strnlen(buffer, PluginTextBytes));
    }
}

TFernPlugin::~TFernPlugin() {
    if (m_module)
        ::dlclose(m_module);
}

std::int32_t TFernPlugin::Initialize(const TPluginServices& services) {
    if (!m_initialize)
        return -1;
    const std::int32_t result = m_initialize(&services);
    m_running = true;
    return result;
}

void TFernPlugin::Terminate() {
    if (m_terminate)
        m_terminate();
    m_running = false;
}

void TFernPlugin::Configuration(void* parent) {
    if (m_configuration)
        m_configuration(parent);
}

std::int32_t TFernPlugin::ReceiveBuffer(const TPluginTaskInfo& info) {
    return m_onReceiveBuffer ? m_onReceiveBuffer(&info) : -1;
}

bool TFernPlugin::ReceiveFile(const TPluginTaskInfo& info, std::string_view fileName, std::string& savePath) {
    if (!m_onReceiveFile)
        return false;
    const std::string name(fileName);
    char buffer[PluginTextBytes + 1] = {};
    const std::int32_t result = m_onReceiveFile(&info, name.c_str(), buffer, PluginTextBytes);
    savePath.assign(buffer, ::strnlen(buffer, PluginTextBytes));
    return result >= 0 && !savePath.empty();
}

void TFernPlugin::Progress(const TPluginTaskInfo& info, bool& continueTask) {
    if (!m_onProgress)
        return;
    std::uint8_t flag = continueTask ? 1 : 0;
    m_onProgress(&info, &flag);
    continueTask = flag != 0;
}

void TFernPlugin::Complete(const TPluginTaskInfo& info) {
    if (m_onComplete)
        m_onComplete(&info);
}

TFernPluginList::~TFernPluginList() {
    Clear();
}

void TFernPluginList::LoadFromFolder(const std::filesystem::path& folder) {
    DIR* directory = ::opendir(folder.c_str());
    if (!directory)
        return;
    // The order the file system gives; no sorting.
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name.size() > 3 && name.ends_with(".so"))
            names.emplace_back(name);
    }
    ::closedir(directory);
    for (const std::string& name : names)
        Add(folder / name);
}

bool TFernPluginList::Add(const std::filesystem::path& path) {
    auto plugin = std::make_unique<TFernPlugin>(path);
    if (!plugin->Loaded() || plugin->GetInfo(FWP_INFO_API_VERSION) != PluginApiVersion ||
        plugin->Name().empty() || IndexOf(plugin->Name()) >= 0)
        return false;
    m_plugins.push_back(std::move(plugin));
    return true;
}

int TFernPluginList::IndexOf(std::string_view name) const {
    for (std::size_t i = 0; i < m_plugins.size(); ++i)
        if (m_plugins[i]->Name() == name)
            return static_cast<int>(i);
    return -1;
}

TFernPlugin* TFernPluginList::Find(std::string_view name) const {
    const int index = IndexOf(name);
    return index < 0 ? nullptr : m_plugins[static_cast<std::size_t>(index)].get();
}

void TFernPluginList::Delete(std::size_t index) {
    m_plugins.erase(m_plugins.begin() + static_cast<std::ptrdiff_t>(index));
}

void TFernPluginList::Clear() {
    while (!m_plugins.empty()) {
        m_plugins.front()->Terminate();
        m_plugins.erase(m_plugins.begin());
    }
}

}  // namespace fwp
