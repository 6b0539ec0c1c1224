#include "server/redis_registry.h"

#include <algorithm>

#include <sys/time.h>

#include <hiredis/hiredis.h>
#include <sodium.h>

#include "server/query.h"

namespace fwp::server {
namespace {

// Waits for connecting and for each answer; a Redis that does not answer in
// this time counts as unreachable and the request gets a 503.
constexpr timeval RedisTimeout{2, 0};

// Sets the name for the owner unless another owner holds it; returns 1 when
// set, 0 when taken. KEYS[1] the name's key; ARGV owner, ip, port, seconds.
constexpr const char* OpenScript =
    "local owner = redis.call('HGET', KEYS[1], 'owner')\n"
    "if owner and owner ~= ARGV[1] then return 0 end\n"
    "redis.call('HSET', KEYS[1], 'owner', ARGV[1], 'ip', ARGV[2], 'port', ARGV[3])\n"
    "redis.call('EXPIRE', KEYS[1], ARGV[4])\n"
    "return 1\n";

// Removes the name when the owner holds it: 1 removed, 0 unknown, -1 another owner's.
constexpr const char* CloseScript =
    "local owner = redis.call('HGET', KEYS[1], 'owner')\n"
    "if not owner then return 0 end\n"
    "if owner ~= ARGV[1] then return -1 end\n"
    "redis.call('DEL', KEYS[1])\n"
    "return 1\n";

struct TReplyFree {
    void operator()(redisReply* reply) const { freeReplyObject(reply); }
};

constexpr std::string_view RelayPrefix = "fwpost-rendezvous:relay:";
constexpr std::string_view RelayKeyName = "fwpost-rendezvous:relay-key";

std::string Key(const std::string& name) {
    return std::string(TRedisRegistry::KeyPrefix) + name;
}

}  // namespace

struct TRedisRegistry::TReply {
    std::unique_ptr<redisReply, TReplyFree> Value;

    redisReply* operator->() const { return Value.get(); }
    bool IsError() const { return Value->type == REDIS_REPLY_ERROR; }
    std::string Text() const { return Value->str ? std::string(Value->str, Value->len) : std::string(); }
};

class TRedisRegistry::TConnection {
public:
    explicit TConnection(redisContext* context) : m_context(context) {}
    ~TConnection() { redisFree(m_context); }
    TConnection(const TConnection&) = delete;
    TConnection& operator=(const TConnection&) = delete;

    // The reply, or nothing when the connection broke (it is unusable then).
    std::optional<TReply> Send(const std::vector<std::string_view>& args) {
        std::vector<const char*> argv;
        std::vector<std::size_t> lengths;
        for (const std::string_view arg : args) {
            argv.push_back(arg.data());
            lengths.push_back(arg.size());
        }
        auto* reply = static_cast<redisReply*>(
            redisCommandArgv(m_context, static_cast<int>(args.size()), argv.data(), lengths.data()));
        if (!reply)
            return std::nullopt;
        return TReply{std::unique_ptr<redisReply, TReplyFree>(reply)};
    }
    std::string ErrorText() const { return m_context->errstr; }

private:
    redisContext* m_context;
};

TRedisRegistry::TRedisRegistry(std::string host, int port) : m_host(std::move(host)), m_port(port) {
    // Loading the scripts tells their digests, which every later call uses,
    // and proves the server answers.
    m_openSha = Command({"SCRIPT", "LOAD", OpenScript}).Text();
    m_closeSha = Command({"SCRIPT", "LOAD", CloseScript}).Text();
}

TRedisRegistry::~TRedisRegistry() = default;

std::unique_ptr<TRedisRegistry::TConnection> TRedisRegistry::Connect() {
    redisContext* context = redisConnectWithTimeout(m_host.c_str(), m_port, RedisTimeout);
    if (!context)
        throw TRegistryError("redis " + m_host + ":" + std::to_string(m_port) + ": out of memory");
    auto connection = std::make_unique<TConnection>(context);
    if (context->err)
        throw TRegistryError("redis " + m_host + ":" + std::to_string(m_port) + ": " +
                             connection->ErrorText());
    redisSetTimeout(context, RedisTimeout);
    redisEnableKeepAlive(context);
    return connection;
}

TRedisRegistry::TReply TRedisRegistry::Command(const std::vector<std::string_view>& args) {
    std::unique_ptr<TConnection> connection;
    {
        const std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            connection = std::move(m_idle.back());
            m_idle.pop_back();
        }
    }
    const bool pooled = connection != nullptr;
    if (!connection)
        connection = Connect();
    std::optional<TReply> reply = connection->Send(args);
    if (!reply && pooled) {
        connection = Connect();
        reply = connection->Send(args);
    }
    if (!reply)
        throw TRegistryError("redis " + m_host + ":" + std::to_string(m_port) + ": " +
                             connection->ErrorText());
    {
        const std::lock_guard lock(m_mutex);
        m_idle.push_back(std::move(connection));
    }
    return std::move(*reply);
}

TRedisRegistry::TReply TRedisRegistry::Script(const std::string& script, const std::string& sha,
                                              const std::vector<std::string_view>& args) {
    std::vector<std::string_view> call{"EVALSHA", sha, "1"};
    call.insert(call.end(), args.begin(), args.end());
    TReply reply = Command(call);
    // The script cache is empty after a SCRIPT FLUSH; EVAL sends the text
    // itself and fills the cache again.
    if (reply.IsError() && reply.Text().starts_with("NOSCRIPT")) {
        call[0] = "EVAL";
        call[1] = script;
        reply = Command(call);
    }
    if (reply.IsError())
        throw TRegistryError("redis: " + reply.Text());
    if (reply->type != REDIS_REPLY_INTEGER)
        throw TRegistryError("redis: unexpected answer to a script");
    return reply;
}

TOpenResult TRedisRegistry::Open(const std::string& name, const std::string& owner, const TEndpoint& endpoint,
                                 std::chrono::seconds ttl, std::int64_t) {
    const std::string key = Key(name);
    const std::string port = std::to_string(endpoint.Port);
    const std::string seconds = std::to_string(std::max<std::int64_t>(ttl.count(), 1));
    const TReply reply = Script(OpenScript, m_openSha, {key, owner, endpoint.Ip, port, seconds});
    return reply->integer == 1 ? TOpenResult::orRegistered : TOpenResult::orTaken;
}

std::optional<TEndpoint> TRedisRegistry::Get(const std::string& name, std::int64_t) {
    const std::string key = Key(name);
    const TReply reply = Command({"HMGET", key, "ip", "port"});
    if (reply.IsError())
        throw TRegistryError("redis: " + reply.Text());
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2)
        throw TRegistryError("redis: unexpected answer to HMGET");
    const redisReply* ip = reply->element[0];
    const redisReply* port = reply->element[1];
    if (ip->type != REDIS_REPLY_STRING || port->type != REDIS_REPLY_STRING)
        return std::nullopt;
    const std::optional<int> number = ParsePort(std::string_view(port->str, port->len));
    if (!number)
        throw TRegistryError("redis: the port stored for a name is not a port");
    return TEndpoint{std::string(ip->str, ip->len), *number};
}

TCloseResult TRedisRegistry::Close(const std::string& name, const std::string& owner, std::int64_t) {
    const std::string key = Key(name);
    const TReply reply = Script(CloseScript, m_closeSha, {key, owner});
    if (reply->integer == 1)
        return TCloseResult::crRemoved;
    return reply->integer == 0 ? TCloseResult::crUnknown : TCloseResult::crOtherOwner;
}

std::string TRedisRegistry::RelayKey() {
    // The first instance sets it; every later one finds that one.
    if (sodium_init() < 0)
        throw TRegistryError("libsodium cannot start");
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    static constexpr char Hex[] = "0123456789abcdef";
    std::string fresh;
    for (const unsigned char byte : random) {
        fresh += Hex[byte >> 4];
        fresh += Hex[byte & 15];
    }
    const TReply set = Command({"SET", RelayKeyName, fresh, "NX"});
    if (set.IsError())
        throw TRegistryError("redis: " + set.Text());
    const TReply get = Command({"GET", RelayKeyName});
    if (get->type != REDIS_REPLY_STRING)
        throw TRegistryError("redis: no relay key");
    return get.Text();
}

void TRedisRegistry::PublishWaiting(const std::string& name, const std::string& holder,
                                    std::chrono::seconds ttl) {
    const std::string key = std::string(RelayPrefix) + name;
    const std::string seconds = std::to_string(std::max<std::int64_t>(ttl.count(), 1));
    const TReply reply = Command({"SET", key, holder, "EX", seconds});
    if (reply.IsError())
        throw TRegistryError("redis: " + reply.Text());
}

std::optional<std::string> TRedisRegistry::FindWaiting(const std::string& name) {
    const std::string key = std::string(RelayPrefix) + name;
    const TReply reply = Command({"GET", key});
    if (reply.IsError())
        throw TRegistryError("redis: " + reply.Text());
    if (reply->type != REDIS_REPLY_STRING)
        return std::nullopt;
    return reply.Text();
}

void TRedisRegistry::CheckHealth() {
    // A write, not a PING: a Redis out of memory still answers PING but
    // refuses every registration.
    const TReply reply = Command({"SET", "fwpost-rendezvous:health", "1", "EX", "60"});
    if (reply.IsError())
        throw TRegistryError("redis: " + reply.Text());
}

}  // namespace fwp::server
