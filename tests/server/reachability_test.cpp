// The service's reachability check and its IPv6 side, against the real
// fwpost-rendezvous and listeners of the test's own on loopback.
#include <future>

#include <gtest/gtest.h>

#include "tests/server/rendezvous_fixture.h"

namespace fwp::test {
namespace {

const std::string Banner = "Fernwaypost Protocol Version 0.90\r\n";
const std::string Reachable = "200 OK\r\nreachable = yes\r\n";
const std::string Unreachable = "200 OK\r\nreachable = no\r\n";

// A port nothing listens on: one that was free a moment ago.
int ClosedPort() {
    TGreetingListener listener("");
    return listener.Port();
}

TEST(RendezvousProbe, ThePortOfTheRequestingAddressIsReachableOnlyWhenAPeerGreetsFromIt) {
    TRendezvousProcess service({"--db", ":memory:"});
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    struct TCase {
        const char* Name;
        std::string Greeting;  // what the listener sends; none: nothing listens
        bool Listening;
        std::string Body;
    };
    const TCase cases[] = {
        {"a peer", Banner + "192.0.2.1\r\n", true, Reachable},
        {"the banner alone", Banner, true, Reachable},
        {"a secured peer", "Fernwaypost Secure Session 2\r\n0123abcd\r\n", true, Reachable},
        {"a secured peer of the first version", "Fernwaypost Secure Session 1\r\n", true, Reachable},
        {"a cut secured banner", "Fernwaypost Secure", true, Unreachable},
        {"another program", "SSH-2.0-OpenSSH_9.2\r\n", true, Unreachable},
        {"another version", "Fernwaypost Protocol Version 0.80\r\n", true, Unreachable},
        {"a cut banner", Banner.substr(0, 10), true, Unreachable},
        {"a silent listener", "", true, Unreachable},
        {"nothing listening", "", false, Unreachable},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Name);
        std::optional<TGreetingListener> listener;
        int port = ClosedPort();
        if (test.Listening) {
            listener.emplace(test.Greeting);
            port = listener->Port();
        }
        const TRawReply reply = RawGet(service.Port(), "/easy.cgi?mode=probe&port=" + std::to_string(port));
        EXPECT_EQ(reply.Status, 200);
        EXPECT_EQ(reply.Body, test.Body);
    }
}

TEST(RendezvousProbe, OnlyUnprivilegedPortsAreProbedAndEachProbeCountsForTheRateLimit) {
    // Six a minute: the five refusals and one probe.
    TRendezvousProcess service({"--db", ":memory:", "--rate-limit", "6"});
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    for (const char* port : {"22", "1023", "0", "65536", ""}) {
        SCOPED_TRACE(port);
        const TRawReply reply = RawGet(service.Port(), std::string("/easy.cgi?mode=probe&port=") + port);
        EXPECT_EQ(reply.Status, 400);
        EXPECT_EQ(reply.Body, "400 Port must be 1024-65535\r\n");
    }
    const std::string probe = "/easy.cgi?mode=probe&port=" + std::to_string(ClosedPort());
    EXPECT_EQ(RawGet(service.Port(), probe).Body, Unreachable);
    EXPECT_EQ(RawGet(service.Port(), probe).Status, 429);
}

TEST(RendezvousProbe, OtherRequestsAreAnsweredWhileAProbeWaitsForItsPeer) {
    // One thread serves every connection, so a probe that held it would hold all.
    TRendezvousProcess service({"--db", ":memory:", "--threads", "1"});
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    TGreetingListener slowPeer(Banner, "127.0.0.1", true);
    auto probe = std::async(std::launch::async, [&] {
        return RawGet(service.Port(), "/easy.cgi?mode=probe&port=" + std::to_string(slowPeer.Port()));
    });
    // Had the probe held the thread, this would wait until the probe gave up,
    // and the probe would then find no greeting.
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=get&user=nobody").Status, 410);
    slowPeer.SendGreeting();
    EXPECT_EQ(probe.get().Body, Reachable);
}

TEST(RendezvousIPv6, RegistrationsCarryIPv6AddressesAndIPv4ClientsAreServedAsBefore) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "this machine has no IPv6 loopback address ::1";
    TRendezvousProcess service({"--db", ":memory:", "--listen", "[::]:0"});
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    struct TCase {
        const char* From;
        std::string Target;
        std::string Body;
    };
    const std::string open = "/easy.cgi?mode=open&user=";
    const TCase cases[] = {
        // An empty ip registers the address the request came from.
        {"::1", open + "six&port=4006&ip=", "200 OK\r\nip = ::1\r\nport = 4006\r\n"},
        {"::1", "/easy.cgi?mode=get&user=six", "200 OK\r\nip = ::1\r\nport = 4006\r\n"},
        {"127.0.0.1", open + "four&port=4007&ip=", "200 OK\r\nip = 127.0.0.1\r\nport = 4007\r\n"},
        {"127.0.0.1", "/easy.cgi?mode=get&user=four", "200 OK\r\nip = 127.0.0.1\r\nport = 4007\r\n"},
        // An address given is stored in its shortest form.
        {"127.0.0.1", open + "given&port=4008&ip=2001:DB8:0:0::5",
         "200 OK\r\nip = 2001:db8::5\r\nport = 4008\r\n"},
        {"::1", open + "mapped&port=4009&ip=::ffff:192.0.2.1", "200 OK\r\nip = 192.0.2.1\r\nport = 4009\r\n"},
        {"::1", open + "zone&port=4010&ip=fe80::1%25eth0", "400 ip must be an IPv4 or IPv6 address\r\n"},
        {"::1", open + "brackets&port=4010&ip=[::1]", "400 ip must be an IPv4 or IPv6 address\r\n"},
        {"::1", open + "name&port=4010&ip=example.org", "400 ip must be an IPv4 or IPv6 address\r\n"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Target);
        EXPECT_EQ(RawGet(service.Port(), test.Target, "", test.From).Body, test.Body);
    }
    // The name belongs to the IPv6 address that registered it.
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=close&user=six", "", "127.0.0.1").Status, 403);
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=close&user=six", "", "::1").Status, 200);

    // A probe from ::1 goes back to ::1.
    TGreetingListener peer(Banner, "::1");
    EXPECT_EQ(
        RawGet(service.Port(), "/easy.cgi?mode=probe&port=" + std::to_string(peer.Port()), "", "::1").Body,
        Reachable);
}

}  // namespace
}  // namespace fwp::test
