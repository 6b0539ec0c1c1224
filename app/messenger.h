#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"

// The link to an instant messenger that can launch the program for a
// conversation. The program talks to it only through TMessenger; on a system
// without a messenger (every Linux system so far) the default says so.
namespace fwp {

// The program's identity as a messenger application, the same in every copy.
constexpr std::string_view MessengerApplicationId = "{6F1C2A4E-8B3D-4C57-9E21-3A7D5B9C0F14}";
constexpr std::string_view MessengerApplicationName = "Fernwaypost";

// The conversation that launched this process, as the messenger reports it.
struct TMessengerSession {
    std::string PeerAddress;     // the other user's IP address
    std::uint32_t Flags = 0;     // low four bits: 1 this side waits, 2 it connects
    std::string PeerSignInName;  // the other user's sign-in name
};

// The messenger's operations. Every operation but Available throws
// TMessengerError when the messenger reports a failure.
class TMessenger {
public:
    virtual ~TMessenger() = default;
    // The session manager can be reached.
    virtual bool Available() = 0;
    // The session that launched the process with this id.
    virtual TMessengerSession SessionForProcess(std::uint32_t processId) = 0;
    virtual void RegisterApplication(std::string_view applicationId, std::string_view name,
                                     std::string_view homePage, std::string_view commandLine,
                                     std::uint32_t flags) = 0;
    virtual void UnregisterApplication(std::string_view applicationId) = 0;
    // The signed-in local user.
    virtual std::string LocalSignInName() = 0;
};

class TMessengerError : public TError {
public:
    using TError::TError;
};

// The messenger of a system that has none: nothing can be reached.
std::unique_ptr<TMessenger> MakeNoMessenger();

// The command line the messenger starts the program with: the full file
// name in double quotes, a blank and "/session".
std::string MessengerCommandLine(std::string_view exePath);
// True when every byte of the path is printable ASCII (0x20 to 0x7E): the
// messenger cannot start a program from any other path.
bool IsMessengerSafePath(std::string_view exePath);

}  // namespace fwp
