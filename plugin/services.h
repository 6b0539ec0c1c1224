#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "plugin/sdk/fernwaypost_plugin.h"

namespace fwp {

// What the services of a running plug-in do in the program: the window's
// pages, the engine's queue and the settings. The program has one host on
// its main thread (tests may run one per thread).
class TPluginHost {
public:
    virtual ~TPluginHost() = default;
    // A new page of the main window with this caption (CP932), made active; its handle.
    virtual TSpaceHandle CreateSpace(std::string_view caption) = 0;
    virtual void DeleteSpace(TSpaceHandle handle) = 0;
    // Queues a buffer for the peer's plug-in named name; the task id or 0.
    virtual std::int32_t SendBuffer(std::string_view name, std::string_view bytes) = 0;
    // Queues the file at path (CP932) for the peer's plug-in; the task id or 0.
    virtual std::int32_t SendFile(std::string_view pluginName, std::string_view path) = 0;
    // The engine's packet buffer size.
    virtual std::int32_t BufferSize() = 0;
    // Draws the user's attention to the page with this handle.
    virtual void Alarm(TSpaceHandle handle) = 0;
    // The program's own page object for the handle, or nullptr; opaque to plug-ins.
    virtual void* SpaceObject(TSpaceHandle handle) = 0;
    virtual void* Application() = 0;
};

// The host whose plug-ins call the services on this thread; the services
// record and the built-in services reach it. Attach before Initialize.
void AttachPluginHost(TPluginHost* host);
void DetachPluginHost(TPluginHost* host);

// The record handed to Initialize.
TPluginServices MakePluginServices();

// The registry of services that the program and plug-ins share: one for the
// process, made with the built-in services "GetConfig", "Alarm",
// "GetSpaceHandle" and "GetApplication", in that order.
namespace service_list {
void Register(std::string_view name, void* address);
// The address of the first entry named name, or nullptr.
void* Find(std::string_view name);
// Removes the first entry with this address.
void Unregister(void* address);
std::size_t Count();
}  // namespace service_list

}  // namespace fwp
