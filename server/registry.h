#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/error.h"

// Where the service keeps its registrations: a user name (CP932 bytes,
// compared as bytes) mapped to an address and port, together with the client
// address it was registered from (its owner) and when it expires.
namespace fwp::server {

struct TEndpoint {
    std::string Ip;  // dotted IPv4, or IPv6 as CanonicalAddress writes it
    int Port = 0;
};

enum class TOpenResult : std::uint8_t {
    orRegistered,  // new, or the owner's own registration refreshed
    orTaken,       // live for another owner
};

enum class TCloseResult : std::uint8_t {
    crRemoved,
    crUnknown,     // no live registration of that name
    crOtherOwner,  // live, but registered from another address; left as it is
};

// The store could not be reached or failed; the request gets a 503.
class TRegistryError : public TError {
public:
    using TError::TError;
};

// Every operation is atomic on its own and may be called from any thread.
// now is the wall-clock time in milliseconds since 1970; a store that keeps
// time itself (Redis) ignores it.
class TRegistry {
public:
    virtual ~TRegistry() = default;

    // Registers name for owner at endpoint until now + ttl, unless a live
    // registration of another owner holds the name. A registration of the
    // same owner is replaced and its time starts again.
    virtual TOpenResult Open(const std::string& name, const std::string& owner, const TEndpoint& endpoint,
                             std::chrono::seconds ttl, std::int64_t nowMs) = 0;
    // The live registration of name, if any.
    virtual std::optional<TEndpoint> Get(const std::string& name, std::int64_t nowMs) = 0;
    // Removes name when owner registered it.
    virtual TCloseResult Close(const std::string& name, const std::string& owner, std::int64_t nowMs) = 0;
    // Writes a small record; throws TRegistryError when the store cannot
    // answer or cannot take a write.
    virtual void CheckHealth() = 0;

    // The relay's state that several instances share through one store. A
    // store of one instance shares nothing: these then do nothing.
    //
    // A secret every instance that uses the store gets the same of (for the
    // tokens one instance gives out for another's relay); empty: none.
    virtual std::string RelayKey() { return {}; }
    // Notes that name's waiting side parks at holder ("HOST:PORT PARKID") for ttl.
    virtual void PublishWaiting(const std::string&, const std::string&, std::chrono::seconds) {}
    // The holder last published for name, if it has not expired.
    virtual std::optional<std::string> FindWaiting(const std::string&) { return std::nullopt; }
};

}  // namespace fwp::server
