#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace fwp::cli {

enum class TCommand : std::uint8_t { cmListen, cmConnect, cmUpnp, cmHelp, cmVersion };

// What "fwpost upnp" does with the router.
enum class TUpnpAction : std::uint8_t { uaShow, uaAdd, uaDelete };

// The command line of fwpost. Values left empty come from the settings.
struct TOptions {
    TCommand Command = TCommand::cmHelp;
    std::string Host;
    std::vector<std::string> Files;
    std::optional<int> Port;
    std::optional<std::string> ReceiveTo;
    bool AutoReceive = false;
    bool NoResume = false;
    std::optional<int> PacketType;
    std::optional<std::int32_t> BufferSize;
    std::optional<std::int32_t> MaxSend;
    std::vector<std::string> Say;
    std::optional<std::int64_t> LimitRate;  // bytes per second of file data, 0 = none
    bool Chat = false;                      // standard input: one instant message per line
    bool Stay = false;
    std::optional<std::string> ConfigFile;
    bool Quiet = false;
    std::optional<std::string> Register;    // listen: register this user name with the service
    std::optional<std::string> User;        // connect: look this user name up instead of HOST
    bool Upnp = false;                      // listen: map the port on the router
    std::optional<std::string> ServiceUrl;  // the easy connection service's script
    TUpnpAction UpnpAction = TUpnpAction::uaShow;
    int UpnpPort = 0;
    std::optional<std::string> Secret;  // the passphrase as typed; "-" asks on the terminal
    bool Relay = false;                 // wait or connect through the service's relay
};

// Parses argv; throws TUsageError with a message for a usage error.
TOptions ParseOptions(int argc, char** argv);

class TUsageError : public TError {
public:
    using TError::TError;
};

extern const char* const UsageText;

}  // namespace fwp::cli
