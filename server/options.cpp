#include "server/options.h"

#include <cstdlib>
#include <string_view>

#include <pwd.h>
#include <unistd.h>

#include "common/numbers.h"

namespace fwp::server {

const char* const ServerUsageText =
    "usage: fwpost-rendezvous [options]\n"
    "\n"
    "The easy connection service: fwpost and the window program register a user\n"
    "name here and find each other by it.\n"
    "\n"
    "options:\n"
    "  --listen ADDR:PORT     where to accept HTTP (default 0.0.0.0:8080; port 0 = any free port)\n"
    "  --path PATH            the service's path, what EasyServiceURL ends in (default /easy.cgi)\n"
    "  --db FILE|:memory:     SQLite database (default ~/.local/share/fernwaypost/rendezvous.db)\n"
    "  --redis HOST:PORT      keep registrations in Redis instead (--db is then not used), so\n"
    "                         several instances share them\n"
    "  --ttl SECONDS          how long a registration lives unless renewed (default 43200)\n"
    "  --rate-limit N         requests per client address and minute (default 120; 0 = no limit)\n"
    "  --trust-proxy          take the client address from the last X-Forwarded-For entry\n"
    "                         (only behind a reverse proxy that sets it)\n"
    "  --threads N            requests served at once (default 64)\n"
    "  --header-timeout SECONDS  close a connection that sends nothing for this long,\n"
    "                         also while its request is incomplete (default 10)\n"
    "  --max-connections-per-address N  connections one client address may hold at\n"
    "                         once (default 64, with --trust-proxy 0; 0 = no cap)\n"
    "  --relay-listen ADDR:PORT  also relay TCP sessions between two peers that cannot\n"
    "                         reach each other (secured sessions only; off by default)\n"
    "  --relay-advertise HOST:PORT  the relay address told to clients (default: --relay-listen)\n"
    "  --relay-max-pairs N    sessions relayed at once (default 100)\n"
    "  --relay-max-waiting N  waiting sides parked at once (default 1000)\n"
    "  --relay-max-mib N      MiB one relayed session may carry, both ways (default 65536; 0 = no cap)\n"
    "  --relay-max-time SECONDS  how long one relayed session may last (default 86400)\n"
    "  --relay-idle SECONDS   close a relayed session silent this long (default 300)\n"
    "  --relay-token-ttl SECONDS  how long a relay token stays usable (default 60)\n"
    "  --relay-wait-time SECONDS  how long a waiting side stays parked (default 3600)\n"
    "  --relay-per-address N  relay connections one client address may hold (default 16; 0 = no cap)\n"
    "  -h, --help             this text\n"
    "\n"
    "GET PATH?mode=open&user=U&port=P&ip=A, ?mode=get&user=U, ?mode=close&user=U;\n"
    "with a relay also ?mode=relaywait&user=U and ?mode=relay&user=U;\n"
    "GET /healthz answers 200 while the storage takes a write. One line per request on\n"
    "standard output; SIGTERM or SIGINT stops the service cleanly.\n";

namespace {

int NumberOption(std::string_view name, const std::string& value, int low, int high) {
    const std::optional<std::int32_t> number = ParseInt32(value);
    if (!number || *number < low || *number > high)
        throw TUsageError("--" + std::string(name) + " must be a number from " + std::to_string(low) +
                          " to " + std::to_string(high));
    return *number;
}

void ParseRelayOption(std::string_view name, const std::string& value, TRelaySettings& relay) {
    if (name == "relay-listen" || name == "relay-advertise") {
        const auto address = ParseHostPort(value);
        if (!address || (name == "relay-advertise" && (address->Port == 0 || address->Host.empty())))
            throw TUsageError("--" + std::string(name) + " must be HOST:PORT");
        if (name == "relay-listen")
            relay.Listen = *address;
        else
            relay.Advertise = *address;
    } else if (name == "relay-max-pairs") {
        relay.MaxPairs = NumberOption(name, value, 1, 1'000'000);
    } else if (name == "relay-max-waiting") {
        relay.MaxWaiting = NumberOption(name, value, 1, 1'000'000);
    } else if (name == "relay-max-mib") {
        relay.MaxBytes = std::uint64_t(NumberOption(name, value, 0, 1'000'000'000)) << 20;
    } else if (name == "relay-max-time") {
        relay.MaxTime = std::chrono::seconds(NumberOption(name, value, 1, 365 * 24 * 3600));
    } else if (name == "relay-idle") {
        relay.Idle = std::chrono::seconds(NumberOption(name, value, 1, 24 * 3600));
    } else if (name == "relay-token-ttl") {
        relay.TokenTtl = std::chrono::seconds(NumberOption(name, value, 1, 3600));
    } else if (name == "relay-wait-time") {
        relay.WaitTime = std::chrono::seconds(NumberOption(name, value, 1, 7 * 24 * 3600));
    } else if (name == "relay-per-address") {
        relay.PerAddress = NumberOption(name, value, 0, 1'000'000);
    } else {
        throw TUsageError("unknown option: --" + std::string(name));
    }
}

}  // namespace

std::optional<THostPort> ParseHostPort(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return std::nullopt;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return std::nullopt;  // an IPv6 address needs its brackets
    }
    const std::optional<std::int32_t> port = ParseInt32(text.substr(colon + 1));
    if (!port || *port < 0 || *port > 65535 || text[colon + 1] == '+' || text[colon + 1] == '-')
        return std::nullopt;
    return THostPort{host, *port};
}

TServerOptions ParseServerOptions(int argc, const char* const* argv) {
    TServerOptions options;
    TRelaySettings relay;
    bool relayListen = false;
    bool relayOption = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.Help = true;
            continue;
        }
        if (arg == "--trust-proxy") {
            options.TrustProxy = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string> value;
        if (!name.starts_with("--"))
            throw TUsageError("unexpected argument: " + std::string(arg));
        name.remove_prefix(2);
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        } else if (i + 1 < argc) {
            value = argv[++i];
        }
        const auto needValue = [&] {
            if (!value)
                throw TUsageError("--" + std::string(name) + " needs a value");
            return *value;
        };
        if (name == "listen") {
            const auto listen = ParseHostPort(needValue());
            if (!listen)
                throw TUsageError("--listen must be ADDR:PORT");
            options.Listen = *listen;
        } else if (name == "path") {
            options.Path = needValue();
            if (!options.Path.starts_with('/') || options.Path.find_first_of("?# ") != std::string::npos ||
                options.Path == "/healthz")
                throw TUsageError("--path must start with / and hold no ?, # or blank, and not be /healthz");
        } else if (name == "db") {
            options.Db = needValue();
            if (options.Db.empty())
                throw TUsageError("--db needs a file name or :memory:");
        } else if (name == "redis") {
            const auto redis = ParseHostPort(needValue());
            if (!redis || redis->Port == 0)
                throw TUsageError("--redis must be HOST:PORT");
            options.Redis = *redis;
        } else if (name == "ttl") {
            options.Ttl = std::chrono::seconds(NumberOption(name, needValue(), 1, 365 * 24 * 3600));
        } else if (name == "rate-limit") {
            options.RateLimit = NumberOption(name, needValue(), 0, 1'000'000);
        } else if (name == "threads") {
            options.Threads = NumberOption(name, needValue(), 1, 1024);
        } else if (name == "header-timeout") {
            options.HeaderTimeout = std::chrono::seconds(NumberOption(name, needValue(), 1, 3600));
        } else if (name == "max-connections-per-address") {
            options.MaxConnectionsPerAddress = NumberOption(name, needValue(), 0, 1'000'000);
        } else if (name.starts_with("relay-")) {
            ParseRelayOption(name, needValue(), relay);
            relayOption = true;
            relayListen = relayListen || name == "relay-listen";
        } else {
            throw TUsageError("unknown option: --" + std::string(name));
        }
    }
    if (relayOption && !relayListen)
        throw TUsageError("the --relay-* options need --relay-listen");
    if (relayListen)
        options.Relay = relay;
    return options;
}

std::string DefaultDatabasePath() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/')
        return std::string(dataHome) + "/fernwaypost/rendezvous.db";
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] != '\0') {
        home = env;
    } else if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) {
        home = entry->pw_dir;
    }
    return home + "/.local/share/fernwaypost/rendezvous.db";
}

}  // namespace fwp::server
