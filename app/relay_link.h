#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "connect/easy_service.h"
#include "engine/stream_socket.h"

// The client side of the service's relay, for two peers that cannot reach
// each other: a one-time token from the service, then one line to the relay,
// then the relay's answer. After "OK" the connection carries the peer's bytes.
namespace fwp {

// Where the relay is and the token to show it.
struct TRelayTicket {
    std::string Address;  // HOST:PORT as the service gave it
    std::string Host;
    int Port = 0;
    std::string Token;
};

// Asks the service for a ticket, to wait under user or to join the side
// waiting under it. Nothing when the service offers no relay, refuses, no
// one waits under the name, or cannot be reached.
std::optional<TRelayTicket> AskRelay(const TEasyServiceClient& client, std::string_view user, bool waiting);

// Connects to the relay with a joining ticket; the connection once the relay
// has paired it with the waiting side, else nullptr and error says why.
std::unique_ptr<TStreamSocket> JoinRelay(const TRelayTicket& ticket, int timeoutMs, std::string& error);

// The waiting side's connection parked at the relay.
class TRelayWait {
public:
    // Connects and shows the waiting ticket; false and error when the relay
    // cannot be reached or refuses the token.
    bool Park(const TRelayTicket& ticket, int timeoutMs, std::string& error);
    bool Parked() const { return m_connection != nullptr; }
    // Waits up to timeoutMs for a joining side: the connection once the relay
    // paired it (this is then no longer parked). Parked turns false when the
    // relay dropped the connection instead.
    std::unique_ptr<TStreamSocket> Poll(int timeoutMs);
    const std::string& Address() const { return m_address; }

private:
    std::unique_ptr<TStreamSocket> m_connection;
    std::string m_address;
};

}  // namespace fwp
