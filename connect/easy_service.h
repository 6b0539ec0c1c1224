#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/addresses.h"
#include "connect/http.h"

// The client of the easy connection service: an HTTP rendezvous script where
// the waiting side registers its user name with its port and external address,
// and where the connecting side looks a name up.
namespace fwp {

// The user agent of every request to the service.
constexpr std::string_view EasyServiceAgent = "fwpost/1.0";

enum class TNoticeKind : std::uint8_t { nkError, nkWarning, nkInformation };

// A message box that the caller shows for the client: the window as a box
// without an owner window, fwpost on its terminal. Texts are UTF-8.
struct TNotice {
    std::string Text;
    std::string Title;
    TNoticeKind Kind = TNoticeKind::nkError;
};

// The outcome of a request whose reply was examined.
struct TEasyServiceResult {
    bool Ok = false;
    // Set when the user must see this box first; the caller's own failure box
    // (registration refused, user not found) follows it.
    std::optional<TNotice> Notice;

    explicit operator bool() const { return Ok; }
};

// Keeps the one name this run has registered, and removes that registration
// before registering another and at the end of the program (CloseRegistration).
// User names are UTF-8 and go to the service as CP932 bytes. Network failures
// are THttpError from HttpGet and reach the caller unchanged.
class TEasyServiceClient {
public:
    explicit TEasyServiceClient(std::string serviceURL = std::string(DefaultEasyServiceURL),
                                THttpLimits limits = {})
        : m_serviceURL(std::move(serviceURL)), m_limits(limits) {}

    const std::string& ServiceURL() const { return m_serviceURL; }
    void SetServiceURL(std::string url) { m_serviceURL = std::move(url); }
    // The name of this run's last successful registration; empty when none.
    const std::string& RegisteredUser() const { return m_registeredUser; }

    // Registers user at ip:port (ip may be empty). Closes the previous
    // registration first; when that close throws, RegisteredUser stays.
    // Ok when the reply starts with "200".
    TEasyServiceResult EasyServiceOpen(std::string_view user, int port, std::string_view ip);
    // Looks user up. Ok when the reply has a port line with a whole number;
    // ip is then the first ip line's value (empty when there is none).
    TEasyServiceResult EasyServiceGet(std::string_view user, std::string& ip, int& port);
    // Removes user's registration; the reply is not examined.
    void EasyServiceClose(std::string_view user);
    // Asks the service to connect back to this machine at port and see a
    // peer greet: the value of the reply's "reachable" line (yes or no), or
    // nothing when the reply has no such line, as from a service that does
    // not offer the check.
    std::optional<bool> EasyServiceProbe(int port) const;
    // Asks the service's relay for a one-time token: waiting, to park this
    // side under user (the registration's owner only), else to join the side
    // parked under user. Ok when the reply has a "relay" line (HOST:PORT)
    // and a "token" line; a service without a relay gives neither.
    TEasyServiceResult EasyServiceRelay(std::string_view user, bool waiting, std::string& relay,
                                        std::string& token) const;
    // The end-of-program step: closes RegisteredUser, if any, and forgets it.
    void CloseRegistration();

private:
    std::string Request(const std::string& query) const;

    std::string m_serviceURL;
    THttpLimits m_limits;
    std::string m_registeredUser;
};

// Reads the service's answer to a look-up, as EasyServiceGet does.
TEasyServiceResult ReadLookupReply(std::string_view body, std::string& ip, int& port);

}  // namespace fwp
