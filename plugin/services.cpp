#include "plugin/services.h"

#include <cstring>
#include <mutex>
#include <vector>

namespace fwp {
namespace {

thread_local TPluginHost* t_host = nullptr;

struct TServiceEntry {
    std::string Name;
    void* Address;
};

// Function pointers travel as object pointers through the registry.
template <typename F>
void* AddressOf(F function) {
    void* address = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&address, &function, sizeof address);
    return address;
}

// --- Built-in services ----------------------------------------------------------

void GetConfigService(std::int32_t index, std::int32_t* value, std::int32_t /*reserved*/) {
    if (index == 1 && value && t_host)
        *value = t_host->BufferSize();
}

void AlarmService(TSpaceHandle handle) {
    if (t_host)
        t_host->Alarm(handle);
}

void* GetSpaceHandleService(TSpaceHandle handle) {
    return t_host ? t_host->SpaceObject(handle) : nullptr;
}

void* GetApplicationService() {
    return t_host ? t_host->Application() : nullptr;
}

class TServiceList {
public:
    TServiceList() {
        Register("GetConfig", AddressOf(&GetConfigService));
        Register("Alarm", AddressOf(&AlarmService));
        Register("GetSpaceHandle", AddressOf(&GetSpaceHandleService));
        Register("GetApplication", AddressOf(&GetApplicationService));
    }
    void Register(std::string_view name, void* address) {
        std::lock_guard lock(m_mutex);
        m_entries.push_back({std::string(name), address});
    }
    void* Find(std::string_view name) {
        std::lock_guard lock(m_mutex);
        for (const TServiceEntry& entry : m_entries)
            if (entry.Name == name)
                return entry.Address;
        return nullptr;
    }
    void Unregister(void* address) {
        std::lock_guard lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->Address == address) {
                m_entries.erase(it);
                return;
            }
        }
    }
    std::size_t Count() {
        std::lock_guard lock(m_mutex);
        return m_entries.size();
    }

private:
    std::mutex m_mutex;
    std::vector<TServiceEntry> m_entries;
};

TServiceList& Registry() {
    static TServiceList registry;
    return registry;
}

std::string_view Text(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

// --- The services record's functions ---------------------------------------------

void CreateSpace(TSpaceHandle* handle, const char* caption) {
    if (!handle)
        return;
    *handle = t_host ? t_host->CreateSpace(Text(caption)) : nullptr;
}

void DeleteSpace(TSpaceHandle handle) {
    if (t_host)
        t_host->DeleteSpace(handle);
}

void RegisterService(const char* name, void* address) {
    Registry().Register(Text(name), address);
}

void* GetService(const char* name) {
    return Registry().Find(Text(name));
}

void UnregisterService(void* address) {
    Registry().Unregister(address);
}

std::int32_t SendBuffer(const char* name, const void* buffer, std::int32_t size) {
    if (!t_host || !name || size < 0 || (size > 0 && !buffer))
        return 0;
    try {
        return t_host->SendBuffer(
            name, std::string_view(static_cast<const char*>(buffer), static_cast<std::size_t>(size)));
    } catch (...) {
        return 0;
    }
}

std::int32_t SendFile(const char* pluginName, const char* path) {
    if (!t_host || !pluginName || !path)
        return 0;
    try {
        return t_host->SendFile(pluginName, path);
    } catch (...) {
        return 0;
    }
}

}  // namespace

void AttachPluginHost(TPluginHost* host) {
    t_host = host;
    Registry();
}

void DetachPluginHost(TPluginHost* host) {
    if (t_host == host)
        t_host = nullptr;
}

TPluginServices MakePluginServices() {
    TPluginServices services{};
    services.Size = static_cast<std::int32_t>(sizeof services);
    services.CreateSpace = &CreateSpace;
    services.DeleteSpace = &DeleteSpace;
    services.RegisterService = &RegisterService;
    services.GetService = &GetService;
    services.UnregisterService = &UnregisterService;
    services.SendBuffer = &SendBuffer;
    services.SendFile = &SendFile;
    return services;
}

namespace service_list {
void Register(std::string_view name, void* address) {
    Registry().Register(name, address);
}
void* Find(std::string_view name) {
    return Registry().Find(name);
}
void Unregister(void* address) {
    Registry().Unregister(address);
}
std::size_t Count() {
    return Registry().Count();
}
}  // namespace service_list

}  // namespace fwp
