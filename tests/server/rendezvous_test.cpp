// fwpost-rendezvous as a user hosts it: a real process on loopback, driven by
// the program's own easy connection client, on each storage it offers.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "tests/server/rendezvous_fixture.h"

namespace fwp::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view ServiceGone =
    "簡易接続サービスを利用できません。最新バージョンを入手してください。";

struct TFound {
    std::string Ip;
    int Port = 0;
    bool operator==(const TFound&) const = default;
};

void PrintTo(const TFound& found, std::ostream* out) {
    *out << found.Ip << ":" << found.Port;
}

// What the client makes of a lookup; nothing when it found no port.
std::optional<TFound> Lookup(TEasyServiceClient& client, std::string_view user) {
    std::string ip;
    int port = 0;
    const TEasyServiceResult result = client.EasyServiceGet(user, ip, port);
    EXPECT_FALSE(result.Notice) << "the client took a reply for a missing service";
    if (!result)
        return std::nullopt;
    return TFound{ip, port};
}

bool HasLineMatching(const std::vector<std::string>& lines, const std::string& pattern) {
    const std::regex expression(pattern);
    for (const std::string& line : lines)
        if (std::regex_match(line, expression))
            return true;
    return false;
}

enum class TBackend { bkSqlite, bkRedis };

std::string StorageName(const ::testing::TestParamInfo<TBackend>& backend) {
    return backend.param == TBackend::bkSqlite ? "SQLite" : "Redis";
}

// The service on each storage it offers: SQLite in memory, or a redis-server
// of the test's own.
class Rendezvous : public ::testing::TestWithParam<TBackend> {
protected:
    void SetUp() override {
        if (GetParam() == TBackend::bkRedis) {
            const auto program = FindInPath("redis-server");
            if (!program)
                GTEST_SKIP() << "redis-server is not installed (Debian package redis-server), so the Redis "
                                "storage is not tested here";
            redis = std::make_unique<TRedisServer>(*program);
        }
    }
    // The service on this test's storage, with more options.
    std::unique_ptr<TRendezvousProcess> Start(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--db", ":memory:"};
        if (redis)
            args = {"--redis", redis->HostPort()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto service = std::make_unique<TRendezvousProcess>(args);
        EXPECT_TRUE(service->Started()) << service->Process().ErrorOutput();
        return service;
    }

    std::unique_ptr<TRedisServer> redis;
};

INSTANTIATE_TEST_SUITE_P(Storage, Rendezvous, ::testing::Values(TBackend::bkSqlite, TBackend::bkRedis),
                         StorageName);

TEST_P(Rendezvous, ANameIsFoundWhereItWasRegisteredUntilItIsClosed) {
    auto service = Start();
    ASSERT_TRUE(service->Started());
    TEasyServiceClient alice = service->Client();
    TEasyServiceClient bob = service->Client(OtherLoopback);
    const TEasyServiceResult opened = alice.EasyServiceOpen("alice", 4006, "203.0.113.5");
    EXPECT_TRUE(opened);
    EXPECT_FALSE(opened.Notice);
    EXPECT_EQ(Lookup(bob, "alice"), (TFound{"203.0.113.5", 4006}));
    const TRawReply reply = RawGet(service->Port(), "/easy.cgi?mode=get&user=alice");
    EXPECT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Body, "200 OK\r\nip = 203.0.113.5\r\nport = 4006\r\n");

    // A second client on the same machine, as after a restart of the program,
    // refreshes the registration.
    TEasyServiceClient restarted = service->Client();
    EXPECT_TRUE(restarted.EasyServiceOpen("alice", 5000, "198.51.100.1"));
    EXPECT_EQ(Lookup(bob, "alice"), (TFound{"198.51.100.1", 5000}));

    // Without an address the request's own address is registered; a forwarded
    // address counts only behind a trusted proxy.
    EXPECT_TRUE(bob.EasyServiceOpen("bob", 5000, ""));
    EXPECT_EQ(Lookup(alice, "bob"), (TFound{"127.0.0.2", 5000}));
    EXPECT_EQ(RawGet(service->Port(),
                     "/easy.cgi?mode=open&user=eve&port=4006&ip=", "X-Forwarded-For: 203.0.113.9\r\n")
                  .Body,
              "200 OK\r\nip = 127.0.0.1\r\nport = 4006\r\n");

    // Registering another name makes the client close the first one.
    ASSERT_TRUE(restarted.EasyServiceOpen("second", 4007, ""));
    EXPECT_EQ(Lookup(bob, "alice"), std::nullopt);
    EXPECT_EQ(Lookup(bob, "second"), (TFound{"127.0.0.1", 4007}));
    restarted.CloseRegistration();
    EXPECT_EQ(Lookup(bob, "second"), std::nullopt);
    const TRawReply gone = RawGet(service->Port(), "/easy.cgi?mode=get&user=second");
    EXPECT_EQ(gone.Status, 410);
    EXPECT_EQ(gone.Body, "410 Unknown user\r\n");
    EXPECT_EQ(RawGet(service->Port(), "/easy.cgi?mode=close&user=second").Body, "410 Unknown user\r\n");
}

TEST_P(Rendezvous, ANameLiveForAnotherAddressIsRefusedAndKept) {
    auto service = Start();
    ASSERT_TRUE(service->Started());
    TEasyServiceClient alice = service->Client();
    TEasyServiceClient mallory = service->Client(OtherLoopback);
    ASSERT_TRUE(alice.EasyServiceOpen("carol", 4006, ""));

    const TEasyServiceResult taken = mallory.EasyServiceOpen("carol", 5000, "");
    EXPECT_FALSE(taken);
    EXPECT_FALSE(taken.Notice);
    // Naming the registered address does not help: the name belongs to the
    // address that registered it.
    EXPECT_FALSE(mallory.EasyServiceOpen("carol", 5000, "127.0.0.1"));
    const TRawReply raw =
        RawGet(service->Port(), "/easy.cgi?mode=open&user=carol&port=5000&ip=", "", OtherLoopback);
    EXPECT_EQ(raw.Status, 409);
    EXPECT_EQ(raw.Body, "409 User name is in use from another address\r\n");

    mallory.EasyServiceClose("carol");
    EXPECT_EQ(Lookup(mallory, "carol"), (TFound{"127.0.0.1", 4006}));
    const TRawReply close = RawGet(service->Port(), "/easy.cgi?mode=close&user=carol", "", OtherLoopback);
    EXPECT_EQ(close.Status, 403);
    EXPECT_EQ(close.Body, "403 Registered from another address\r\n");
    EXPECT_EQ(Lookup(mallory, "carol"), (TFound{"127.0.0.1", 4006}));

    alice.CloseRegistration();
    EXPECT_TRUE(mallory.EasyServiceOpen("carol", 5000, ""));
    EXPECT_EQ(Lookup(alice, "carol"), (TFound{"127.0.0.2", 5000}));
}

TEST_P(Rendezvous, NamesAreStoredAndComparedAsTheirBytes) {
    auto service = Start();
    ASSERT_TRUE(service->Started());
    TEasyServiceClient bob = service->Client(OtherLoopback);
    // UTF-8 here; the client sends CP932.
    const std::pair<std::string, int> names[] = {
        {"太郎", 4001},           // 91 BE 98 59
        {"表", 4002},             // 95 5C: the second byte is a backslash
        {"a&b=c", 4003},          // sent unescaped
        {"x+y", 4004},            // "+" is not a blank
        {"x y", 4005},            // sent as x%20y
        {"x&port=1&ip=2", 4006},  // holds the very texts of the query
        {"Alice", 4007},          // no case folding
        {"alice", 4008},
        {"ｱ", 4009},   // half-width B1
        {"ア", 4010},  // full-width 83 41
        {"50%", 4011},
    };
    for (const auto& [name, port] : names) {
        SCOPED_TRACE(name);
        // Each client object holds one registration; a new one per name keeps them all.
        TEasyServiceClient owner = service->Client();
        EXPECT_TRUE(owner.EasyServiceOpen(name, port, "192.0.2.1"));
    }
    for (const auto& [name, port] : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Lookup(bob, name), (TFound{"192.0.2.1", port}));
    }
    // The same bytes written by hand, in either case of hex digit.
    const std::pair<std::string, std::string> raw[] = {
        {"/easy.cgi?mode=get&user=%91%BE%98Y", "4001"}, {"/easy.cgi?mode=get&user=%91%be%98%59", "4001"},
        {"/easy.cgi?mode=get&user=%95\\", "4002"},      {"/easy.cgi?mode=get&user=a&b=c", "4003"},
        {"/easy.cgi?mode=get&user=x+y", "4004"},        {"/easy.cgi?mode=get&user=x%20y", "4005"},
        {"/easy.cgi?mode=get&user=%B1", "4009"},        {"/easy.cgi?mode=get&user=%83A", "4010"},
        {"/easy.cgi?mode=get&user=50%25", "4011"},
    };
    for (const auto& [target, port] : raw) {
        SCOPED_TRACE(target);
        EXPECT_EQ(RawGet(service->Port(), target).Body,
                  "200 OK\r\nip = 192.0.2.1\r\nport = " + port + "\r\n");
    }
    EXPECT_EQ(Lookup(bob, "ALICE"), std::nullopt);
    EXPECT_EQ(Lookup(bob, "太"), std::nullopt);
}

TEST_P(Rendezvous, ARegistrationExpiresAfterItsTimeAndTheNameIsFreeAgain) {
    constexpr auto Ttl = 3s;
    auto service = Start({"--ttl", "3"});
    ASSERT_TRUE(service->Started());
    TEasyServiceClient alice = service->Client();
    TEasyServiceClient bob = service->Client(OtherLoopback);
    const auto registered = Clock::now();
    ASSERT_TRUE(alice.EasyServiceOpen("dave", 4006, ""));
    const bool foundAtOnce = Lookup(bob, "dave").has_value();
    // On a machine stalled for the whole lifetime the entry may be gone
    // already; that says nothing either way.
    if (!foundAtOnce) {
        EXPECT_GE(Clock::now() - registered, Ttl) << "gone before its time";
    }
    std::optional<Clock::duration> goneAfter;
    const auto deadline = Clock::now() + 60s;
    while (!goneAfter && Clock::now() < deadline) {
        if (!Lookup(bob, "dave"))
            goneAfter = Clock::now() - registered;
        else
            std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(goneAfter) << "still registered a minute later";
    EXPECT_GE(*goneAfter, Ttl);
    const TEasyServiceResult taken = bob.EasyServiceOpen("dave", 5000, "");
    EXPECT_TRUE(taken);
    EXPECT_EQ(Lookup(alice, "dave"), (TFound{"127.0.0.2", 5000}));
}

TEST_P(Rendezvous, RequestsOutOfBoundsAreRefusedWithTheirReasonAndOnlyAWrongPathSaysNotFound) {
    auto service = Start();
    ASSERT_TRUE(service->Started());
    const std::string name255(255, 'n');
    std::string escaped256;
    for (int i = 0; i < 256; ++i)
        escaped256 += "%E9";
    struct TCase {
        std::string Target;
        int Status;
        std::string Body;
    };
    const std::string badName = "400 User name longer than 255 bytes\r\n";
    const std::string badPort = "400 Port must be 1-65535\r\n";
    const std::string badIp = "400 ip must be an IPv4 or IPv6 address\r\n";
    const std::string open = "/easy.cgi?mode=open&user=";
    // The parsing of queries, ports and addresses has tests of its own; these
    // show that its reasons reach the reply.
    const TCase cases[] = {
        {open + name255 + "&port=4006&ip=192.0.2.1", 200, "200 OK\r\nip = 192.0.2.1\r\nport = 4006\r\n"},
        {open + name255 + "n&port=4006&ip=192.0.2.1", 400, badName},
        {open + escaped256.substr(3) + "&port=1&ip=192.0.2.1", 200,
         "200 OK\r\nip = 192.0.2.1\r\nport = 1\r\n"},
        {open + escaped256 + "&port=4006&ip=192.0.2.1", 400, badName},
        {"/easy.cgi?mode=get&user=" + name255 + "n", 400, badName},
        {open + "p&port=65535&ip=192.0.2.1", 200, "200 OK\r\nip = 192.0.2.1\r\nport = 65535\r\n"},
        {open + "p&port=0&ip=192.0.2.1", 400, badPort},
        {open + "p&port=65536&ip=192.0.2.1", 400, badPort},
        {open + "q&port=4006&ip=255.255.255.255", 200, "200 OK\r\nip = 255.255.255.255\r\nport = 4006\r\n"},
        {open + "q&port=4006&ip=1.2.3", 400, badIp},
        {open + "q&port=4006&ip=%201.2.3.4", 400, badIp},
        {open + "q&port=4006", 400, "400 Missing ip\r\n"},
        {"/easy.cgi?mode=get&user=", 400, "400 Empty user name\r\n"},
        {"/easy.cgi?mode=get&user=a%2", 400, "400 Bad escape in user\r\n"},
        {"/easy.cgi?mode=get&user=a%0Ab", 400, "400 Control character in user name\r\n"},
        {"/easy.cgi", 400, "400 Missing query\r\n"},
        {"/easy.cgiX?mode=get&user=alice", 404, "404 Not Found\r\n"},
        {"/easyXcgi?mode=get&user=alice", 404, "404 Not Found\r\n"},  // the dot is no wildcard
        {"/healthz", 200, "200 OK\r\n"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Target);
        const TRawReply reply = RawGet(service->Port(), test.Target);
        EXPECT_EQ(reply.Status, test.Status);
        EXPECT_EQ(reply.Body, test.Body);
    }

    // The client sees each refusal as a plain failure, never as a missing service.
    TEasyServiceClient client = service->Client();
    for (const auto& [name, port, ip] : {std::tuple<std::string, int, std::string>{name255 + "n", 4006, ""},
                                         {"r", 0, ""},
                                         {"r", 65536, ""},
                                         {"r", 4006, "1.2.3"}}) {
        SCOPED_TRACE(name.substr(0, 8) + " " + std::to_string(port) + " " + ip);
        const TEasyServiceResult result = client.EasyServiceOpen(name, port, ip);
        EXPECT_FALSE(result);
        EXPECT_FALSE(result.Notice);
    }
    // Only a wrong path tells it that the service is gone.
    TEasyServiceClient lost(service->URL("/other.cgi"));
    const TEasyServiceResult result = lost.EasyServiceOpen("alice", 4006, "");
    EXPECT_FALSE(result);
    ASSERT_TRUE(result.Notice);
    EXPECT_EQ(result.Notice->Text, ServiceGone);
}

TEST_P(Rendezvous, TooManyRequestsFromOneAddressAreRefusedForAWhile) {
    auto service = Start({"--rate-limit", "3"});
    ASSERT_TRUE(service->Started());
    // Three a minute: the bucket holds three, and the next one comes 20 s
    // later, far longer than these requests take.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(RawGet(service->Port(), "/easy.cgi?mode=get&user=nobody").Status, 410);
    const TRawReply refused = RawGet(service->Port(), "/easy.cgi?mode=get&user=nobody");
    EXPECT_EQ(refused.Status, 429);
    EXPECT_EQ(refused.Body, "429 Too many requests\r\n");
    std::smatch retry;
    ASSERT_TRUE(std::regex_search(refused.Headers, retry, std::regex("Retry-After: ([0-9]+)\r\n")));
    EXPECT_GE(std::stoi(retry[1]), 1);
    EXPECT_LE(std::stoi(retry[1]), 20);

    TEasyServiceClient alice = service->Client();
    EXPECT_FALSE(alice.EasyServiceOpen("alice", 4006, ""));
    // Another address has its own allowance.
    TEasyServiceClient bob = service->Client(OtherLoopback);
    EXPECT_TRUE(bob.EasyServiceOpen("bob", 5000, ""));
    EXPECT_EQ(Lookup(bob, "bob"), (TFound{"127.0.0.2", 5000}));
}

TEST_P(Rendezvous, BehindATrustedProxyTheLastForwardedAddressCounts) {
    auto service = Start({"--trust-proxy"});
    ASSERT_TRUE(service->Started());
    const int port = service->Port();
    // The proxy appends the address it saw; what comes before is the client's word.
    const TRawReply opened = RawGet(port, "/easy.cgi?mode=open&user=eve&port=4006&ip=",
                                    "X-Forwarded-For: 198.51.100.7, 198.51.100.8, 203.0.113.9\r\n");
    EXPECT_EQ(opened.Body, "200 OK\r\nip = 203.0.113.9\r\nport = 4006\r\n");
    EXPECT_EQ(RawGet(port, "/easy.cgi?mode=close&user=eve", "X-Forwarded-For: 203.0.113.10\r\n").Status, 403);
    EXPECT_EQ(RawGet(port, "/easy.cgi?mode=close&user=eve").Status, 403);
    EXPECT_EQ(RawGet(port, "/easy.cgi?mode=close&user=eve", "X-Forwarded-For: 203.0.113.9\r\n").Status, 200);
}

TEST_P(Rendezvous, EachRequestIsLoggedAndSigtermStopsTheService) {
    auto service = Start();
    ASSERT_TRUE(service->Started());
    TEasyServiceClient alice = service->Client();
    ASSERT_TRUE(alice.EasyServiceOpen("alice", 4006, ""));
    EXPECT_EQ(RawGet(service->Port(), "/easy.cgi?mode=get&user=%91%BE%98Y").Status, 410);
    EXPECT_EQ(RawGet(service->Port(), "/easy.cgi?mode=get&user=a\"b\xE9").Status, 410);
    service->Process().Signal(SIGTERM);
    EXPECT_EQ(service->Process().Wait(), 0) << service->Process().ErrorOutput();
    const std::vector<std::string> lines = service->LogLines();
    const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
    EXPECT_TRUE(HasLineMatching(
        lines,
        stamp + R"( 127\.0\.0\.1 "GET /easy\.cgi\?mode=open&user=alice&port=4006&ip=" 200 \d+\.\d{3}ms)"));
    EXPECT_TRUE(
        HasLineMatching(lines, stamp + R"( 127\.0\.0\.1 "GET /easy\.cgi\?mode=get&user=%91%BE%98Y" 410 .*)"));
    // Quotes and bytes outside printable ASCII cannot break or forge a line.
    EXPECT_TRUE(HasLineMatching(
        lines, stamp + R"( 127\.0\.0\.1 "GET /easy\.cgi\?mode=get&user=a\\x22b\\xE9" 410 .*)"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "stopped");
}

// Only the SQLite storage keeps a file of its own.
TEST(RendezvousSqlite, RegistrationsOutliveARestartWithTheSameFile) {
    TSandbox box;
    const std::string db = box.Path("registrations.db").string();
    {
        TRendezvousProcess service({"--db", db});
        ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
        TEasyServiceClient alice = service.Client();
        ASSERT_TRUE(alice.EasyServiceOpen("alice", 4006, "203.0.113.5"));
        service.Process().Signal(SIGTERM);
        ASSERT_EQ(service.Process().Wait(), 0);
    }
    // A database in WAL mode says 2 in the bytes at 18 and 19 of its header.
    std::ifstream file(db, std::ios::binary);
    char header[20] = {};
    file.read(header, sizeof header);
    EXPECT_EQ(header[18], 2);
    EXPECT_EQ(header[19], 2);

    TRendezvousProcess again({"--db", db});
    ASSERT_TRUE(again.Started()) << again.Process().ErrorOutput();
    TEasyServiceClient bob = again.Client(OtherLoopback);
    EXPECT_EQ(Lookup(bob, "alice"), (TFound{"203.0.113.5", 4006}));
}

TEST(RendezvousSqlite, HealthSaysUnavailableWhileRegistrationsFailOnAFullDisk) {
    TSandbox box;
    const std::string db = box.Path("registrations.db").string();
    // Files may not grow past 256 KiB: a write beyond fails as on a full disk.
    TRendezvousProcess service({"--db", db, "--rate-limit", "0"}, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{256 * 1024, 256 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    EXPECT_EQ(RawGet(service.Port(), "/healthz").Status, 200);
    const std::string name(200, 'n');
    int status = 200;
    for (int i = 0; i < 2000 && status == 200; ++i)
        status = RawGet(service.Port(),
                        "/easy.cgi?mode=open&user=" + name + std::to_string(i) + "&port=4006&ip=192.0.2.1")
                     .Status;
    ASSERT_EQ(status, 503);
    const TRawReply health = RawGet(service.Port(), "/healthz");
    EXPECT_EQ(health.Status, 503);
    EXPECT_EQ(health.Body, "503 Storage unavailable\r\n");
}

TEST(RendezvousSqlite, WithoutDbTheFileGoesToTheUsersDataFolder) {
    TSandbox box;
    const std::string data = box.Folder("data").string();
    const std::vector<std::string> args{"--listen", "127.0.0.1:0"};
    TProcess service(BinaryPath("fwpost-rendezvous"), args, "",
                     [data] { ::setenv("XDG_DATA_HOME", data.c_str(), 1); });
    const auto storage = service.WaitForLine("storage ");
    ASSERT_TRUE(storage) << service.ErrorOutput();
    EXPECT_EQ(*storage, "storage sqlite " + data + "/fernwaypost/rendezvous.db");
    ASSERT_TRUE(service.WaitForLine("listening "));
    EXPECT_TRUE(std::filesystem::exists(box.Path("data/fernwaypost/rendezvous.db")));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);
}

// Redis is what lets several instances serve one set of names.
class RendezvousRedis : public Rendezvous {};

INSTANTIATE_TEST_SUITE_P(Storage, RendezvousRedis, ::testing::Values(TBackend::bkRedis), StorageName);

TEST_P(RendezvousRedis, InstancesOnOneRedisShareNamesKeptAsKeysOfTheirBytes) {
    auto first = Start({"--ttl", "3600"});
    auto second = Start({"--ttl", "3600"});
    ASSERT_TRUE(first->Started() && second->Started());
    TEasyServiceClient aliceFirst = first->Client();
    TEasyServiceClient aliceSecond = second->Client();
    TEasyServiceClient mallory = second->Client(OtherLoopback);
    ASSERT_TRUE(aliceFirst.EasyServiceOpen("太郎", 4006, "203.0.113.5"));
    const std::string key = "fwpost-rendezvous:user:\x91\xBE\x98Y";
    EXPECT_EQ(redis->Command({"HGET", key, "owner"}), "127.0.0.1");
    EXPECT_EQ(Lookup(mallory, "太郎"), (TFound{"203.0.113.5", 4006}));
    EXPECT_FALSE(mallory.EasyServiceOpen("太郎", 5000, ""));

    // A refresh through the other instance restarts the expiry.
    EXPECT_EQ(redis->Command({"EXPIRE", key, "100"}), "1");
    ASSERT_TRUE(aliceSecond.EasyServiceOpen("太郎", 4007, ""));
    const auto ttl = redis->Command({"TTL", key});
    ASSERT_TRUE(ttl);
    EXPECT_GT(std::stoi(*ttl), 3000);
    EXPECT_LE(std::stoi(*ttl), 3600);

    // The owner may close through any instance.
    aliceFirst.EasyServiceClose("太郎");
    EXPECT_EQ(Lookup(mallory, "太郎"), std::nullopt);
}

TEST_P(RendezvousRedis, WhileRedisIsGoneRequestsAreRefusedAndWhenItIsBackTheServiceServesAgain) {
    auto service = Start();
    ASSERT_TRUE(service->Started());
    TEasyServiceClient alice = service->Client();
    ASSERT_TRUE(alice.EasyServiceOpen("alice", 4006, ""));
    const int port = redis->Port();
    redis->Kill();
    const TRawReply reply = RawGet(service->Port(), "/easy.cgi?mode=get&user=alice");
    EXPECT_EQ(reply.Status, 503);
    EXPECT_EQ(reply.Body, "503 Storage unavailable\r\n");
    EXPECT_EQ(RawGet(service->Port(), "/healthz").Status, 503);
    const TEasyServiceResult refused = alice.EasyServiceOpen("alice", 4006, "");
    EXPECT_FALSE(refused);
    EXPECT_FALSE(refused.Notice);
    // A new, empty Redis on the same port: nothing registered, and the
    // scripts are no longer loaded there.
    redis = std::make_unique<TRedisServer>(*FindInPath("redis-server"), port);
    TEasyServiceClient bob = service->Client(OtherLoopback);
    EXPECT_EQ(Lookup(bob, "alice"), std::nullopt);
    EXPECT_TRUE(bob.EasyServiceOpen("alice", 5000, ""));
    EXPECT_EQ(Lookup(alice, "alice"), (TFound{"127.0.0.2", 5000}));
    EXPECT_FALSE(alice.EasyServiceOpen("alice", 4006, ""));
    EXPECT_EQ(RawGet(service->Port(), "/healthz").Status, 200);
}

TEST_P(RendezvousRedis, TheServiceDoesNotStartWithoutItsRedis) {
    const std::string hostPort = redis->HostPort();
    redis->Kill();
    TProcess service(BinaryPath("fwpost-rendezvous"), {"--listen", "127.0.0.1:0", "--redis", hostPort});
    EXPECT_EQ(service.Wait(), 1);
    EXPECT_NE(service.ErrorOutput().find("redis " + hostPort), std::string::npos) << service.ErrorOutput();
}

TEST(RendezvousOptions, AWrongCommandLineIsAUsageError) {
    const std::vector<std::string> cases[] = {
        {"--listen", "nonsense"},
        {"--listen", "127.0.0.1:70000"},
        {"--ttl", "0"},
        {"--rate-limit", "-1"},
        {"--path", "easy.cgi"},
        {"--path", "/healthz"},
        {"--redis", "localhost"},
        {"--threads", "0"},
        {"--header-timeout", "0"},
        {"--max-connections-per-address", "-1"},
        {"--db"},
        {"--bogus"},
        {"extra"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.front());
        TProcess service(BinaryPath("fwpost-rendezvous"), args);
        EXPECT_EQ(service.Wait(), 2);
        EXPECT_NE(service.ErrorOutput().find("usage: fwpost-rendezvous"), std::string::npos);
    }
}

}  // namespace
}  // namespace fwp::test
