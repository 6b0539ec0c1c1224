// The relay with raw client sockets on loopback, and the service's relay
// modes through the real program.
#include "server/relay.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/server/rendezvous_fixture.h"

namespace fwp::server {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client connection to the relay, closed with the object.
class TRelayClient {
public:
    explicit TRelayClient(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~TRelayClient() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TRelayClient(const TRelayClient&) = delete;
    TRelayClient& operator=(const TRelayClient&) = delete;

    bool Send(const std::string& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until count bytes have come; nothing when the relay closes first
    // or they do not come within 20 s.
    std::optional<std::string> Read(std::size_t count) {
        const auto end = Clock::now() + 20s;
        while (m_buffer.size() < count && Clock::now() < end) {
            if (!Fill(end))
                return std::nullopt;
        }
        if (m_buffer.size() < count)
            return std::nullopt;
        std::string bytes = m_buffer.substr(0, count);
        m_buffer.erase(0, count);
        return bytes;
    }
    // The next line without its CR LF; nothing when the relay closes first.
    std::optional<std::string> Line() {
        const auto end = Clock::now() + 20s;
        std::size_t at;
        while ((at = m_buffer.find("\r\n")) == std::string::npos) {
            if (Clock::now() >= end || !Fill(end))
                return std::nullopt;
        }
        std::string line = m_buffer.substr(0, at);
        m_buffer.erase(0, at + 2);
        return line;
    }
    // True once the relay has closed the connection (within 20 s).
    bool ClosedByTheRelay() {
        const auto end = Clock::now() + 20s;
        while (Clock::now() < end) {
            if (!Fill(end))
                return true;
        }
        return false;
    }

private:
    bool Fill(Clock::time_point end) {
        pollfd wait{m_fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (::poll(&wait, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0)
            return true;
        char bytes[65536];
        const ssize_t n = ::recv(m_fd, bytes, sizeof bytes, 0);
        if (n <= 0)
            return false;
        m_buffer.append(bytes, static_cast<std::size_t>(n));
        return true;
    }

    int m_fd = -1;
    std::string m_buffer;
};

class Relay : public ::testing::Test {
protected:
    void Start(TRelaySettings settings = {}) {
        settings.Listen = {"127.0.0.1", 0};
        relay = std::make_unique<TRelay>(settings, nullptr);
        port = relay->Bind();
        ASSERT_NE(port, 0);
        ASSERT_TRUE(relay->Start());
    }
    // A waiting side parked under user; the relay has answered "WAIT".
    std::unique_ptr<TRelayClient> Park(const std::string& user) {
        auto client = std::make_unique<TRelayClient>(port);
        const auto ticket = relay->IssueWaitToken(user, Clock::now());
        EXPECT_TRUE(ticket);
        client->Send("FWPRELAY " + (ticket ? ticket->Token : "") + "\r\n");
        EXPECT_EQ(client->Line(), "WAIT");
        return client;
    }
    std::unique_ptr<TRelayClient> Join(const std::string& user, const std::string& extra = "") {
        auto client = std::make_unique<TRelayClient>(port);
        const auto token = relay->IssueJoinToken(user, Clock::now());
        EXPECT_TRUE(token);
        client->Send("FWPRELAY " + token.value_or("") + "\r\n" + extra);
        return client;
    }

    std::unique_ptr<TRelay> relay;
    int port = 0;
};

TEST_F(Relay, PairedSidesExchangeBytesUnchangedBothWays) {
    Start();
    auto waiting = Park("alice");
    // Bytes sent right behind the token reach the other side too.
    auto joining = Join("alice", "early");
    EXPECT_EQ(joining->Line(), "OK");
    EXPECT_EQ(waiting->Line(), "OK");
    EXPECT_EQ(waiting->Read(5), "early");
    std::string big(1'000'000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 256);
    std::thread sender([&] { EXPECT_TRUE(waiting->Send(big)); });
    EXPECT_EQ(joining->Read(big.size()), big);
    sender.join();
    EXPECT_TRUE(joining->Send(std::string("\r\n\x00\xff", 4)));
    EXPECT_EQ(waiting->Read(4), std::string("\r\n\x00\xff", 4));
}

TEST_F(Relay, TokensAreRefusedWhenUnknownExpiredOrReused) {
    TRelaySettings settings;
    settings.TokenTtl = 60s;
    Start(settings);
    struct TCase {
        const char* What;
        std::function<std::string()> Token;
        const char* Answer;
    };
    std::string used;
    const TCase cases[] = {
        {"unknown", [] { return std::string(32, 'a'); }, "ERR unknown token"},
        {"expired",
         [&] {
             return relay->IssueWaitToken("bob", Clock::now() - 61s).value_or(TRelay::TWaitTicket{}).Token;
         },
         "ERR expired token"},
        {"reused",
         [&] {
             used = relay->IssueWaitToken("carol", Clock::now()).value_or(TRelay::TWaitTicket{}).Token;
             TRelayClient first(port);
             first.Send("FWPRELAY " + used + "\r\n");
             EXPECT_EQ(first.Line(), "WAIT");
             return used;
         },
         "ERR unknown token"},
        {"not a hello", [] { return std::string("x\r\nGET / HTTP/1.1"); }, "ERR unknown token"},
    };
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.What);
        TRelayClient client(port);
        client.Send("FWPRELAY " + test.Token() + "\r\n");
        EXPECT_EQ(client.Line(), test.Answer);
        EXPECT_TRUE(client.ClosedByTheRelay());
    }
    TRelayClient stranger(port);
    stranger.Send("GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(stranger.Line(), "ERR bad hello");
}

TEST_F(Relay, NoJoiningTokenIsGivenWhileNoOneWaits) {
    Start();
    EXPECT_FALSE(relay->IssueJoinToken("alice", Clock::now()));
    {
        auto waiting = Park("alice");
        EXPECT_TRUE(relay->IssueJoinToken("alice", Clock::now()));
    }
    // Once the waiting side has left, its name is free again.
    bool gone = false;
    for (int i = 0; i < 2000 && !gone; ++i) {
        gone = !relay->IssueJoinToken("alice", Clock::now());
        if (!gone)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(gone);
}

TEST_F(Relay, APairIsClosedAtItsByteLimitAndWhenIdle) {
    TRelaySettings settings;
    settings.MaxBytes = 100'000;
    settings.Idle = 1s;
    Start(settings);
    {
        auto waiting = Park("alice");
        auto joining = Join("alice");
        EXPECT_EQ(joining->Line(), "OK");
        EXPECT_EQ(waiting->Line(), "OK");
        joining->Send(std::string(200'000, 'x'));
        EXPECT_TRUE(waiting->ClosedByTheRelay());
        EXPECT_TRUE(joining->ClosedByTheRelay());
    }
    auto waiting = Park("bob");
    auto joining = Join("bob");
    EXPECT_EQ(joining->Line(), "OK");
    EXPECT_TRUE(joining->ClosedByTheRelay());
    EXPECT_TRUE(waiting->ClosedByTheRelay());
}

TEST_F(Relay, AJoiningSideBeyondThePairLimitIsTurnedAway) {
    TRelaySettings settings;
    settings.MaxPairs = 1;
    Start(settings);
    auto firstWaiting = Park("alice");
    auto firstJoining = Join("alice");
    EXPECT_EQ(firstJoining->Line(), "OK");
    auto secondWaiting = Park("bob");
    auto secondJoining = Join("bob");
    EXPECT_EQ(secondJoining->Line(), "ERR busy");
    // The pair that runs is not disturbed.
    firstJoining->Send("still");
    EXPECT_EQ(firstWaiting->Line(), "OK");
    EXPECT_EQ(firstWaiting->Read(5), "still");
}

TEST_F(Relay, OneAddressHoldsOnlyItsShareOfConnections) {
    TRelaySettings settings;
    settings.PerAddress = 2;
    Start(settings);
    auto first = Park("alice");
    auto second = Park("bob");
    TRelayClient third(port);
    EXPECT_TRUE(third.ClosedByTheRelay());
}

// The service's relay modes through the real program.
TEST(RelayService, OnlyTheOwnerWaitsAndClassicAnswersStayAsTheyWere) {
    using fwp::test::RawGet;
    fwp::test::TRendezvousProcess plain({"--db", ":memory:"});
    ASSERT_TRUE(plain.Started());
    EXPECT_EQ(RawGet(plain.Port(), "/easy.cgi?mode=relay&user=alice").Body, "400 Unknown mode\r\n");

    fwp::test::TRendezvousProcess service({"--db", ":memory:", "--relay-listen", "127.0.0.1:0"});
    ASSERT_TRUE(service.Started());
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=relaywait&user=alice").Body, "410 Unknown user\r\n");
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=open&user=alice&port=4006&ip=192.0.2.1").Body,
              "200 OK\r\nip = 192.0.2.1\r\nport = 4006\r\n");
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=get&user=alice").Body,
              "200 OK\r\nip = 192.0.2.1\r\nport = 4006\r\n");
    EXPECT_EQ(
        RawGet(service.Port(), "/easy.cgi?mode=relaywait&user=alice", "", fwp::test::OtherLoopback).Body,
        "403 Registered from another address\r\n");
    EXPECT_EQ(RawGet(service.Port(), "/easy.cgi?mode=relay&user=alice").Body,
              "410 No one waits at the relay under this name\r\n");
    const std::string waiting = RawGet(service.Port(), "/easy.cgi?mode=relaywait&user=alice").Body;
    EXPECT_TRUE(waiting.starts_with("200 OK\r\nrelay = 127.0.0.1:")) << waiting;
    EXPECT_NE(waiting.find("\r\ntoken = "), std::string::npos) << waiting;
}

// The value of a "name = value" line of a reply body.
std::string ValueOf(const std::string& body, const std::string& name) {
    const std::size_t at = body.find("\r\n" + name + " = ");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + name.size() + 5;
    return body.substr(start, body.find("\r\n", start) - start);
}

int PortOf(const std::string& address) {
    return std::stoi(address.substr(address.rfind(':') + 1));
}

TEST(RelayService, AJoiningSideAskingAnotherInstanceIsSentToTheRelayWhereItsPeerWaits) {
    const auto program = fwp::test::FindInPath("redis-server");
    if (!program)
        GTEST_SKIP() << "redis-server is not installed (Debian package redis-server), so instances "
                        "sharing a store are not tested here";
    using fwp::test::RawGet;
    fwp::test::TRedisServer redis(*program);
    fwp::test::TRendezvousProcess first({"--redis", redis.HostPort(), "--relay-listen", "127.0.0.1:0"});
    fwp::test::TRendezvousProcess second({"--redis", redis.HostPort(), "--relay-listen", "127.0.0.1:0"});
    ASSERT_TRUE(first.Started() && second.Started());

    ASSERT_EQ(RawGet(first.Port(), "/easy.cgi?mode=open&user=alice&port=4006&ip=192.0.2.1").Status, 200);
    const std::string wait = RawGet(first.Port(), "/easy.cgi?mode=relaywait&user=alice").Body;
    const std::string firstRelay = ValueOf(wait, "relay");
    ASSERT_FALSE(firstRelay.empty()) << wait;
    TRelayClient waiting(PortOf(firstRelay));
    waiting.Send("FWPRELAY " + ValueOf(wait, "token") + "\r\n");
    ASSERT_EQ(waiting.Line(), "WAIT");

    const std::string join = RawGet(second.Port(), "/easy.cgi?mode=relay&user=alice").Body;
    EXPECT_EQ(ValueOf(join, "relay"), firstRelay) << join;
    const std::string token = ValueOf(join, "token");
    TRelayClient joining(PortOf(firstRelay));
    joining.Send("FWPRELAY " + token + "\r\n");
    EXPECT_EQ(joining.Line(), "OK");
    EXPECT_EQ(waiting.Line(), "OK");
    joining.Send("through");
    EXPECT_EQ(waiting.Read(7), "through");

    // The token the other instance signed is good once; a changed one never.
    std::string forged = token;
    forged.back() = forged.back() == '0' ? '1' : '0';
    for (const std::string& bad : {token, forged}) {
        TRelayClient again(PortOf(firstRelay));
        again.Send("FWPRELAY " + bad + "\r\n");
        EXPECT_EQ(again.Line(), "ERR unknown token");
    }
}

TEST(RelayService, RelayLimitsWithoutARelayAreAUsageError) {
    fwp::test::TProcess service(fwp::test::BinaryPath("fwpost-rendezvous"), {"--relay-idle", "5"});
    EXPECT_EQ(service.Wait(), 2);
    EXPECT_NE(service.ErrorOutput().find("need --relay-listen"), std::string::npos) << service.ErrorOutput();
}

}  // namespace
}  // namespace fwp::server
