// Clients that connect and then send nothing, send slowly or send several
// requests at once, against the real fwpost-rendezvous on loopback.
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "tests/server/rendezvous_fixture.h"

namespace fwp::test {
namespace {

constexpr int ManyIdle = 2000;

// Lets this process (and the service it starts) open enough sockets for
// count connections; false when the system does not allow that many.
bool AllowSockets(int count) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_max < static_cast<rlim_t>(count) + 512)
        return false;
    files.rlim_cur = files.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &files) == 0;
}

struct TIdleCase {
    const char* Name;
    std::vector<std::string> Options;
    const char* IdleFrom;     // where the idle connections come from
    const char* RequestFrom;  // where the request that must be answered comes from
};

TEST(RendezvousConnections, IdleConnectionsHeldOpenDoNotKeepARequestWaiting) {
    const TIdleCase cases[] = {
        // The idle client's own address is capped; everyone else is served.
        {"default cap", {}, "127.0.0.1", OtherLoopback},
        // Without the cap, even the idle client's address is still served.
        {"no cap", {"--max-connections-per-address", "0"}, "127.0.0.1", "127.0.0.1"},
    };
    if (!AllowSockets(ManyIdle))
        GTEST_SKIP() << "the open-file limit (ulimit -Hn) is below " << ManyIdle + 512
                     << ", too low to hold the idle connections";
    for (const TIdleCase& test : cases) {
        SCOPED_TRACE(test.Name);
        std::vector<std::string> args{"--db", ":memory:", "--rate-limit", "0"};
        args.insert(args.end(), test.Options.begin(), test.Options.end());
        TRendezvousProcess service(args);
        ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
        TIdleConnections idle(service.Port(), ManyIdle, test.IdleFrom);
        ASSERT_TRUE(idle.Established());
        // Answering takes milliseconds; the limit only allows for a loaded machine.
        const TRawReply reply =
            RawGet(service.Port(), "/easy.cgi?mode=get&user=nobody", "", test.RequestFrom, 10s);
        EXPECT_EQ(reply.Status, 410);
        EXPECT_EQ(reply.Body, "410 Unknown user\r\n");
    }
}

TEST(RendezvousConnections, AStalledConnectionIsClosedAfterTheHeaderTimeoutAndOneBeyondTheCapAtOnce) {
    TRendezvousProcess service(
        {"--db", ":memory:", "--header-timeout", "1", "--max-connections-per-address", "3"});
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    TIdleConnections idle(service.Port(), 4);
    ASSERT_TRUE(idle.Established());
    // One of them stops halfway through its request line.
    const std::string partial = "GET /easy.cgi?mode=g";
    ASSERT_EQ(::send(idle.Socket(0), partial.data(), partial.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(partial.size()));
    EXPECT_TRUE(idle.AllClosedByTheService(30s));
    EXPECT_EQ(RawGet(service.Port(), "/healthz").Status, 200);
}

TEST(RendezvousConnections, TwoRequestsInOnePacketAreBothAnswered) {
    TRendezvousProcess service({"--db", ":memory:"});
    ASSERT_TRUE(service.Started()) << service.Process().ErrorOutput();
    const std::string received = RawExchange(service.Port(),
                                             "GET /easy.cgi?mode=get&user=nobody HTTP/1.1\r\n"
                                             "Host: 127.0.0.1\r\n\r\n"
                                             "GET /healthz HTTP/1.1\r\n"
                                             "Host: 127.0.0.1\r\nConnection: close\r\n\r\n");
    const std::size_t first = received.find("HTTP/1.1 410 ");
    const std::size_t second = received.find("HTTP/1.1 200 ");
    ASSERT_NE(first, std::string::npos) << received;
    ASSERT_NE(second, std::string::npos) << received;
    EXPECT_LT(first, second);
    EXPECT_NE(received.find("410 Unknown user\r\n"), std::string::npos);
    EXPECT_NE(received.find("\r\n\r\n200 OK\r\n"), std::string::npos);
}

}  // namespace
}  // namespace fwp::test
