#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/error.h"

namespace fwp::server {

// A host and a port as given on the command line ("127.0.0.1:8080",
// "[::1]:8080", "localhost:6379").
struct THostPort {
    std::string Host;
    int Port = 0;
};

// The TCP relay for peers that cannot reach each other (--relay-listen and
// the --relay-* limits).
struct TRelaySettings {
    THostPort Listen;
    std::optional<THostPort> Advertise;                     // unset: the listening address and port
    int MaxPairs = 100;                                     // sessions relayed at once
    int MaxWaiting = 1000;                                  // waiting sides parked at once
    std::uint64_t MaxBytes = std::uint64_t(64) << 30;       // per pair, both ways; 0: any number
    std::chrono::seconds MaxTime = std::chrono::hours(24);  // per pair
    std::chrono::seconds Idle{300};                         // a pair silent this long is closed
    std::chrono::seconds TokenTtl{60};                      // a token unused this long is void
    std::chrono::seconds WaitTime = std::chrono::hours(1);  // a parked waiting side is dropped
    int PerAddress = 16;  // relay connections one client address may hold; 0: any number
};

// The command line of fwpost-rendezvous.
struct TServerOptions {
    THostPort Listen{"0.0.0.0", 8080};  // port 0: any free port, printed at start
    std::string Path = "/easy.cgi";
    std::string Db;  // empty: the default file in the user's data folder
    std::optional<THostPort> Redis;
    std::chrono::seconds Ttl = std::chrono::hours(12);
    int RateLimit = 120;  // per client address and minute; 0: no limit
    bool TrustProxy = false;
    int Threads = 64;
    std::chrono::seconds HeaderTimeout{10};  // a connection silent this long is closed
    // Connections one client address may hold at once; 0: any number.
    // Unset: 64, or 0 behind a trusted proxy, whose own address every request has.
    std::optional<int> MaxConnectionsPerAddress;
    std::optional<TRelaySettings> Relay;
    bool Help = false;
};

class TUsageError : public TError {
public:
    using TError::TError;
};

// Parses argv. Throws TUsageError.
TServerOptions ParseServerOptions(int argc, const char* const* argv);

// "HOST:PORT", the host possibly in brackets. Nothing when malformed.
std::optional<THostPort> ParseHostPort(const std::string& text);

// $XDG_DATA_HOME/fernwaypost/rendezvous.db, or
// ~/.local/share/fernwaypost/rendezvous.db when that variable is unset or
// not an absolute path.
std::string DefaultDatabasePath();

extern const char* const ServerUsageText;

}  // namespace fwp::server
