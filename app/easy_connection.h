#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "connect/easy_service.h"

// Finding a peer by user name, as both front ends do it.
namespace fwp {

// Texts the front ends show for the two failures of an unattended start.
constexpr std::string_view RegistrationFailedText = "簡単接続サービスの登録に失敗しました。";
constexpr std::string_view PeerNotFoundText = "相手の接続先が見つかりませんでした。";

// How often and how patiently a name is looked up. Pause waits between tries
// and may give up early by returning false (the user cancelled).
struct TLookupPacing {
    int Tries = 5;
    std::chrono::milliseconds Interval{2000};
    std::function<bool(std::chrono::milliseconds)> Pause;
};

// Looks user up with the service, up to Tries times, pausing after every
// failed try (also after the last). Notices of the service (it is gone) go to
// onNotice. Network errors (THttpError) reach the caller.
bool LookupEasyConnection(TEasyServiceClient& client, std::string_view user, std::string& host, int& port,
                          const std::function<void(const TNotice&)>& onNotice,
                          const TLookupPacing& pacing = {});

// Registers user with port and the external address (may be empty). False
// when the service refused; onNotice gets its notice first, if any.
bool RegisterEasyConnection(TEasyServiceClient& client, std::string_view user, int port,
                            std::string_view externalIp, const std::function<void(const TNotice&)>& onNotice);

// Whether peers can reach this machine at port, as the service finds it.
// Nothing when the service does not offer the check or cannot be asked: the
// answer is only a hint, so no failure is shown for it. The service connects
// back to port while the call waits, so whoever listens there must be
// accepting meanwhile (call it from a thread of its own).
std::optional<bool> CheckReachable(const TEasyServiceClient& client, int port);

}  // namespace fwp
