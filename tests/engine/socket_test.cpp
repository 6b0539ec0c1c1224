// The socket layer and the address functions on loopback.
#include <gtest/gtest.h>

#include "engine/address.h"
#include "engine/poll_loop.h"
#include "engine/stream_socket.h"
#include "tests/support/loopback.h"
#include "tests/support/raw_peer.h"

namespace fwp {
namespace {

using namespace std::chrono_literals;

TEST(Address, DottedMeansFourDecimalParts) {
    for (const char* yes : {"192.168.0.1", "300.1.1.1", "0.0.0.0", "01.2.3.4"})
        EXPECT_TRUE(IsDottedAddress(yes)) << yes;
    for (const char* no : {"1.2.3", "1.2.3.4.5", "pc-name", "", "1..2.3", "1.2.3.x", "-1.2.3.4", "1.2.3.4."})
        EXPECT_FALSE(IsDottedAddress(no)) << no;
}

TEST(Address, NamesResolveToDottedAddresses) {
    EXPECT_EQ(ResolveHost("localhost"), "127.0.0.1");
    EXPECT_EQ(ResolveHost("no-such-host.invalid"), "");
    const std::string own = LocalHostAddr();
    EXPECT_TRUE(own.empty() || IsDottedAddress(own)) << own;
}

struct TConnectedPair {
    std::unique_ptr<TServerSocket> server = TServerSocket::Listen(0);
    test::TRawPeer raw;
    std::unique_ptr<TStreamSocket> socket;
    TConnectedPair() {
        raw.Connect(server->LocalPort());
        socket = server->Accept(2000);
    }
};

TEST(StreamSocket, LineInPiecesIsReadWholeAndThePayloadAfterItStays) {
    TConnectedPair pair;
    ASSERT_TRUE(pair.socket);
    pair.raw.Send("#TRANS");
    pair.raw.Send("DATA\r");
    pair.raw.Send(std::string_view("\nPAYLOAD\x00\x01", 10));
    EXPECT_EQ(pair.socket->ReceiveLine(), "#TRANSDATA");
    char buffer[16] = {};
    std::size_t got = 0;
    while (got < 9) {
        ASSERT_TRUE(pair.socket->WaitForData(2000));
        got += static_cast<std::size_t>(
            pair.socket->ReceiveBuf(buffer + got, static_cast<int>(sizeof buffer - got)));
    }
    EXPECT_EQ(std::string(buffer, got), std::string("PAYLOAD\x00\x01", 9));
    EXPECT_EQ(pair.socket->RemoteHost(), "127.0.0.1");
}

TEST(StreamSocket, ListenerTakesBothFamiliesAndEachSideNamesThePeerPlainly) {
    if (!test::LoopbackHasIPv6())
        GTEST_SKIP() << "no IPv6 loopback here";
    const auto server = TServerSocket::Listen(0);
    ASSERT_TRUE(server);
    struct TCase {
        const char* host;
        const char* address;
        bool ipv6;
    };
    const TCase cases[] = {
        {"127.0.0.1", "127.0.0.1", false},
        {"::1", "::1", true},
        {"[::1]", "::1", true},
        {"0:0:0:0:0:0:0:1", "::1", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.host);
        const auto client = TStreamSocket::Connect(c.host, server->LocalPort(), 2000);
        ASSERT_TRUE(client);
        const auto accepted = server->Accept(2000);
        ASSERT_TRUE(accepted);
        EXPECT_EQ(client->RemoteHost(), c.address);
        EXPECT_EQ(accepted->RemoteHost(), c.address);
        EXPECT_EQ(accepted->IsIPv6(), c.ipv6);
        EXPECT_EQ(client->LocalAddress(), c.address);
    }
    // A name goes through the resolver (localhost: from the hosts file).
    const auto byName = TStreamSocket::Connect("localhost", server->LocalPort(), 2000);
    ASSERT_TRUE(byName);
    EXPECT_TRUE(server->Accept(2000));
}

TEST(StreamSocket, ConnectionClosedByThePeerGivesNoData) {
    TConnectedPair pair;
    pair.raw.Close();
    EXPECT_FALSE(pair.socket->WaitForData(2000));
    EXPECT_TRUE(pair.socket->Broken());
    EXPECT_TRUE(pair.socket->IsConnected());  // only a local close clears it
    pair.socket->Disconnect();
    EXPECT_FALSE(pair.socket->IsConnected());
}

TEST(StreamSocket, AcceptWithoutPeerReturnsNothingAndKeepsListening) {
    auto server = TServerSocket::Listen(0);
    ASSERT_TRUE(server);
    TPollLoop clock;
    const auto start = clock.TickCount();
    EXPECT_EQ(server->Accept(100), nullptr);
    EXPECT_GE(clock.TickCount() - start, 90u);
    test::TRawPeer raw;
    ASSERT_TRUE(raw.Connect(server->LocalPort()));
    EXPECT_NE(server->Accept(2000), nullptr);
}

TEST(StreamSocket, PortInUseCannotBeListenedOnTwice) {
    auto first = TServerSocket::Listen(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(TServerSocket::Listen(first->LocalPort()), nullptr);
}

TEST(StreamSocket, RefusedConnectGivesNothing) {
    int port = 0;
    {
        auto server = TServerSocket::Listen(0);
        port = server->LocalPort();
    }
    EXPECT_EQ(TStreamSocket::Connect("127.0.0.1", port, 2000), nullptr);
}

TEST(PollLoop, TimersFireAtTheirIntervalAndStopWhenKilled) {
    TPollLoop loop;
    int fired = 0;
    EXPECT_TRUE(loop.SetTimer(1, 20ms, [&] { ++fired; }));
    EXPECT_FALSE(loop.SetTimer(1, 20ms, [] {}));  // the id is taken
    EXPECT_TRUE(loop.RunUntil([&] { return fired >= 5; }, 5000ms));
    loop.KillTimer(1);
    const int now = fired;
    loop.RunUntil([] { return false; }, 60ms);
    EXPECT_EQ(fired, now);
}

TEST(PollLoop, TimerMayFireAgainInsideItsOwnCallback) {
    TPollLoop loop;
    int depth = 0;
    int nested = 0;
    loop.SetTimer(1, 10ms, [&] {
        if (depth > 0) {
            ++nested;
            return;
        }
        ++depth;
        loop.RunUntil([&] { return nested > 0; }, 2000ms);
        --depth;
    });
    EXPECT_TRUE(loop.RunUntil([&] { return nested > 0; }, 5000ms));
}

TEST(PollLoop, WorkPostedFromAnotherThreadRunsOnTheLoop) {
    TPollLoop loop;
    std::thread::id ranOn;
    std::thread other([&] { loop.Post([&] { ranOn = std::this_thread::get_id(); }); });
    other.join();
    EXPECT_TRUE(loop.RunUntil([&] { return ranOn != std::thread::id(); }, 2000ms));
    EXPECT_TRUE(ranOn == std::this_thread::get_id());
}

TEST(PollLoop, ErrorInACallbackReachesTheHandlerAndTheLoopGoesOn) {
    TPollLoop loop;
    std::string error;
    loop.OnError = [&](const std::exception& e) { error = e.what(); };
    loop.Post([] { throw std::runtime_error("broken"); });
    bool after = false;
    loop.Post([&] { after = true; });
    EXPECT_TRUE(loop.RunUntil([&] { return after; }, 2000ms));
    EXPECT_EQ(error, "broken");
}

}  // namespace
}  // namespace fwp
