#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "server/registry.h"

namespace fwp::server {

// Registrations in Redis, shared by every instance of the service that uses
// the same server. Each name is one hash key with a Redis expiry:
//   fwpost-rendezvous:user:<name bytes>  owner, ip, port
// Opening and closing run as Lua scripts, which Redis executes atomically:
// the name is set only if it is absent or already the same owner's, and
// removed only by its owner. Where a name's waiting side is parked at a
// relay is a plain key with an expiry:
//   fwpost-rendezvous:relay:<name bytes>  "HOST:PORT PARKID"
// and the secret the instances sign relay tokens with is
//   fwpost-rendezvous:relay-key The expiry is kept by Redis, so the times given
// to the operations are not used.
class TRedisRegistry : public TRegistry {
public:
    static constexpr std::string_view KeyPrefix = "fwpost-rendezvous:user:";

    // Connects once to check that the server answers. Throws TRegistryError.
    TRedisRegistry(std::string host, int port);
    ~TRedisRegistry() override;
    TRedisRegistry(const TRedisRegistry&) = delete;
    TRedisRegistry& operator=(const TRedisRegistry&) = delete;

    TOpenResult Open(const std::string& name, const std::string& owner, const TEndpoint& endpoint,
                     std::chrono::seconds ttl, std::int64_t nowMs) override;
    std::optional<TEndpoint> Get(const std::string& name, std::int64_t nowMs) override;
    TCloseResult Close(const std::string& name, const std::string& owner, std::int64_t nowMs) override;
    void CheckHealth() override;
    std::string RelayKey() override;
    void PublishWaiting(const std::string& name, const std::string& holder,
                        std::chrono::seconds ttl) override;
    std::optional<std::string> FindWaiting(const std::string& name) override;

    class TConnection;
    struct TReply;

private:
    std::unique_ptr<TConnection> Connect();
    // Runs one command on a pooled connection. A connection that turns out
    // to be broken (Redis restarted) is replaced and the command sent once
    // more on a fresh one; every operation here may safely run twice.
    TReply Command(const std::vector<std::string_view>& args);
    TReply Script(const std::string& script, const std::string& sha,
                  const std::vector<std::string_view>& args);

    std::string m_host;
    int m_port;
    std::string m_openSha;
    std::string m_closeSha;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<TConnection>> m_idle;  // one per thread that has used one
};

}  // namespace fwp::server
