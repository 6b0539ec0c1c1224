#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "server/options.h"

// A TCP relay for two peers that cannot reach each other at all. The waiting
// side gets a one-time token from the service and parks a connection here
// under its user name; the joining side gets a token for that name, and the
// relay then copies bytes between the two connections as they are. Both
// sides run their secured handshake through it, so the relay only ever sees
// ciphertext.
//
// On the relay port a client first sends one line, "FWPRELAY TOKEN" and
// CR LF. A waiting side is answered "WAIT" at once and "OK" once a joining
// side arrives; a joining side "OK" at once. Anything else is answered
// "ERR reason" and the connection is closed. After "OK" every byte is the
// peer's.
namespace fwp::server {

constexpr std::string_view RelayHello = "FWPRELAY ";

class TRelay {
public:
    TRelay(const TRelaySettings& settings, std::FILE* log);
    ~TRelay();
    TRelay(const TRelay&) = delete;
    TRelay& operator=(const TRelay&) = delete;

    // Binds the relay port; the port (the chosen one for port 0), or 0 on failure.
    int Bind();
    // "HOST:PORT" that clients are told to connect to.
    std::string Advertised() const;
    std::chrono::seconds WaitTime() const { return m_settings.WaitTime; }
    // Starts the relay's own thread; Stop ends it and closes every connection.
    bool Start();
    void Stop();

    // The secret shared with the other instances of one store; a relay with
    // one takes the joining tokens they sign for its parked sides. Set before Start.
    void SetSharedKey(std::string key) { m_sharedKey = std::move(key); }

    struct TWaitTicket {
        std::string Token;
        std::string ParkId;  // names the parked side in tokens other instances sign
    };
    // A token for the waiting side of user, valid once within the token lifetime.
    // Nothing when too many tokens are outstanding.
    std::optional<TWaitTicket> IssueWaitToken(const std::string& user,
                                              std::chrono::steady_clock::time_point now);
    // A token for a side that joins user's parked connection; nothing when
    // none is parked or too many tokens are outstanding.
    std::optional<std::string> IssueJoinToken(const std::string& user,
                                              std::chrono::steady_clock::time_point now);
    // A joining token for the side another instance's relay holds under
    // parkId, signed with the shared key; it is valid there once until
    // nowMs (wall clock, ms since 1970) plus the token lifetime.
    std::string SignJoinToken(const std::string& parkId, std::int64_t nowMs) const;

    struct TConn;

private:
    struct TToken {
        std::string User;
        bool Waiting = false;
        std::chrono::steady_clock::time_point Expires;
        std::string ParkId;
    };

    std::optional<std::string> Issue(const std::string& user, bool waiting,
                                     std::chrono::steady_clock::time_point now,
                                     const std::string& parkId = {});
    // The park id of a valid signed token seen for the first time; else
    // nothing and reason says why.
    std::optional<std::string> CheckSigned(const std::string& token, std::string& reason);
    void Run();
    void AcceptAll();
    void OnEvent(std::uint64_t id, std::uint32_t events);
    void ReadHello(TConn& conn);
    void Refuse(TConn& conn, std::string_view reason);
    void Pair(TConn& waiting, TConn& joining);
    void Pump(TConn& conn, std::uint32_t events);
    void UpdateInterest(TConn& conn);
    void Sweep(std::chrono::steady_clock::time_point now);
    void Close(std::uint64_t id, std::string_view reason);
    void ClosePair(TConn& conn, std::string_view reason);
    void Log(const std::string& line);

    TRelaySettings m_settings;
    std::FILE* m_log;
    int m_listenFd = -1;
    int m_port = 0;
    int m_epoll = -1;
    int m_wake = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};

    std::uint64_t m_nextId = 1;
    std::unordered_map<std::uint64_t, std::unique_ptr<TConn>> m_conns;
    std::map<std::string, int> m_perAddress;
    std::string m_sharedKey;
    std::unordered_map<std::string, std::uint64_t> m_parkIds;    // park id -> the parked connection
    std::unordered_map<std::string, std::int64_t> m_usedSigned;  // signed tokens seen -> their expiry (ms)
    int m_pairs = 0;

    // Shared with the HTTP threads.
    std::mutex m_mutex;
    std::unordered_map<std::string, TToken> m_tokens;
    std::map<std::string, std::uint64_t> m_parked;  // user name bytes -> the waiting connection
};

}  // namespace fwp::server
