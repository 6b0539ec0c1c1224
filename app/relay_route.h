#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "app/easy_connection.h"
#include "app/relay_link.h"
#include "connect/easy_service.h"
#include "engine/event_loop.h"
#include "engine/stream_socket.h"
#include "engine/transer.h"

// A secured session with a peer known by name may run through the service's
// relay, for peers that cannot reach each other directly. Both front ends
// take that way through TRelayRoute.
namespace fwp {

// How long a secured connect by name tries the peer directly before the relay.
constexpr std::chrono::milliseconds DirectTryBeforeRelay(3000);
// The least time between two tickets asked for while the engine reconnects.
constexpr std::chrono::milliseconds RelayAskInterval(1000);
// While waiting for a peer, how often a parked connection the relay dropped is set up again.
constexpr std::chrono::milliseconds RelayParkRetry(5000);

// One side's way through the relay under one user name: the waiting side
// (the one registered under the name) keeps a connection parked there, the
// joining side asks for a ticket and joins it. Times come from loop.
class TRelayRoute {
public:
    TRelayRoute(const TEventLoop& loop, TEasyServiceClient service, std::string user, bool waiting);

    // Waiting side: asks for a ticket and parks a connection; false and
    // error when the relay cannot be had.
    bool Park(int timeoutMs, std::string& error);
    // Waiting side, while the wait lasts: parks again once the relay dropped
    // the parked connection (its wait time is over), at most every
    // RelayParkRetry; error says why that failed. Then the connection the
    // relay paired within timeoutMs, else nullptr.
    std::unique_ptr<TStreamSocket> Poll(int timeoutMs, int parkTimeoutMs, std::string& error);
    // Waiting side: the relay dropped the parked connection and the next Park is due.
    bool ParkDue() const { return m_waiting && !m_wait.Parked() && AskDue(RelayParkRetry); }
    // Joining side: asks for a ticket and joins, as patiently as a lookup
    // (the waiting side may not be parked yet). nullptr with error when no
    // try joined, with an empty error when pacing's Pause gave up.
    std::unique_ptr<TStreamSocket> Join(const TLookupPacing& pacing, int timeoutMs, std::string& error);
    // The next relayed connection while the engine rebuilds a cut link
    // (TTranser's OnRedial); nullptr when none is there yet. The service is
    // asked at most every RelayAskInterval.
    std::unique_ptr<TStreamSocket> Redial(const TTranserTimeouts& timeouts, std::string& error);

    const std::string& User() const { return m_user; }
    // HOST:PORT of the relay of the last connection, empty before the first.
    const std::string& Address() const { return m_address; }

private:
    bool AskDue(std::chrono::milliseconds interval) const;

    const TEventLoop& m_loop;
    TEasyServiceClient m_service;
    std::string m_user;
    bool m_waiting;
    TRelayWait m_wait;
    std::string m_address;
    std::uint64_t m_lastAsk = 0;  // tick of the last ticket asked for
};

// Connects transer to host:port and runs the handshake (which throws TError).
// With relayAfter the connect is given at most DirectTryBeforeRelay, so that
// an unreachable peer leaves time for the relay. False when no connection
// was made.
bool ConnectDirectFirst(TTranser& transer, const std::string& host, int port, bool relayAfter);

}  // namespace fwp
