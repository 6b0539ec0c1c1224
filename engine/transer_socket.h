#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/event_loop.h"
#include "engine/stream_socket.h"

namespace fwp {

enum class TSocketMode : std::uint8_t { smServer = 0, smClient = 1, smNone = 2 };
using enum TSocketMode;

// The fixed waits of the connection and the protocol. Tests shorten them.
struct TTranserTimeouts {
    std::uint32_t Handshake = 10000;       // for the peer's first bytes, and for each handshake line
    std::uint32_t Connect = 20000;         // one connect attempt
    std::uint32_t IdleInterval = 10000;    // "#IDOLING" when this long since the last one
    std::uint32_t NoResponse = 60000;      // silence while transferring that counts as a dead link
    std::uint32_t CloseStep = 10000;       // each of the two waits of an orderly close
    std::uint32_t ReconnectAccept = 1000;  // server side: wait for the peer per reconnect attempt
    std::uint32_t ReconnectLimit = 60000;  // how long a lost link is rebuilt before its tasks end
    std::uint32_t PeerHello = 1000;        // for the peer's first message after a handshake
};

// Owns the one connection to the peer, as client or as server, runs the
// handshake on it and can set it up again in the same role.
class TTranserSocket {
public:
    explicit TTranserSocket(TEventLoop& loop);
    virtual ~TTranserSocket();
    TTranserSocket(const TTranserSocket&) = delete;
    TTranserSocket& operator=(const TTranserSocket&) = delete;

    // Connects and runs the handshake, which throws TError with its message
    // on failure. False when no connection could be made.
    bool Connect(const std::string& host, int port);
    // Starts listening; a port that cannot be bound leaves no listening
    // socket (see Listening) and Accept never succeeds.
    void Listen(int port);
    // Waits up to timeoutMs for a peer and runs the handshake with it.
    bool Accept(int timeoutMs);
    // Takes over a connection made elsewhere (through a relay) in role mode
    // and runs the handshake on it, which throws TError on failure.
    void Adopt(std::unique_ptr<TStreamSocket> connection, TSocketMode mode);
    // Sets the connection up again in the same role with the same host and
    // port, or through OnRedial when that is set. The server side keeps its
    // listening socket, so a peer that comes back before the attempt waits in
    // the queue instead of being refused.
    bool Reconnect();
    // Server side during a session: closes every connection waiting to be
    // accepted, so a second peer is refused at once and never taken later
    // for the peer coming back.
    void RefuseWaiting();
    bool Connected() const;
    void CloseSocket();

    TSocketMode Mode() const { return m_mode; }
    const std::string& RemoteHost() const { return m_remoteHost; }
    int Port() const { return m_port; }
    bool Listening() const { return m_server != nullptr; }
    int ListeningPort() const;
    const std::string& LocalDigest() const { return m_localDigest; }
    const std::string& PeerDigest() const { return m_peerDigest; }
    // The peer closed its end or the connection failed; only a local close
    // clears Connected, so this tells a dead link apart.
    bool PeerGone() const { return m_connection && m_connection->Broken(); }
    TStreamSocket* Connection() const { return m_connection.get(); }

    TTranserTimeouts Timeouts;
    // Not empty: each connection first proves this passphrase (CP932 bytes)
    // on both sides and then runs encrypted; a classic peer is refused.
    std::string Secret;
    std::function<void(TTranserSocket&)> OnDisconnect;
    // Set for a relayed link: gives the next connection in the same role, or
    // nullptr when none is there yet (the next attempt asks again).
    std::function<std::unique_ptr<TStreamSocket>()> OnRedial;

protected:
    // Banner, address lines and digests. Throws TError and closes the
    // connection when the peer is silent or speaks another protocol.
    virtual void Handshake();
    // Reads one handshake line within the handshake wait; the line so far
    // when the peer closes.
    std::string ReadHandshakeLine();
    // Closes only the connection (not the listening socket) and throws message.
    [[noreturn]] void FailHandshake(const std::string& message);

    TEventLoop& m_loop;

private:
    std::string m_localDigest;
    std::string m_peerDigest;
    std::string m_remoteHost;
    int m_port = 0;
    TSocketMode m_mode = smNone;
    std::unique_ptr<TServerSocket> m_server;
    std::unique_ptr<TStreamSocket> m_connection;
};

}  // namespace fwp
