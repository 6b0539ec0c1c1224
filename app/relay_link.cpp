#include "app/relay_link.h"

#include <chrono>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "common/error.h"
#include "common/numbers.h"

namespace fwp {
namespace {

constexpr std::size_t MaxRelayLineBytes = 256;

// A parked connection carries nothing until a peer joins. The kernel probes
// it after this many seconds of silence, then every interval, and gives up
// after that many probes without an answer: a relay that lost the
// connection without a word (its machine restarted, a router on the way
// forgot the connection) is noticed within 30 s, and the probes keep the
// connection alive in address translators on the way.
constexpr int ParkedIdleSeconds = 15;
constexpr int ParkedProbeIntervalSeconds = 5;
constexpr int ParkedProbeCount = 3;

void ProbeWhileParked(int fd, bool parked) {
    const int on = parked ? 1 : 0;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    if (!parked)
        return;
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &ParkedIdleSeconds, sizeof ParkedIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &ParkedProbeIntervalSeconds,
                 sizeof ParkedProbeIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &ParkedProbeCount, sizeof ParkedProbeCount);
}

// The relay's next line within timeoutMs; nothing when none came or the
// relay closed the connection first.
std::optional<std::string> ReadRelayLine(TStreamSocket& connection, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    std::string line;
    while (true) {
        switch (connection.TakeLine(line, MaxRelayLineBytes)) {
            case TReadStatus::rsOk:
                return line;
            case TReadStatus::rsTooLong:
            case TReadStatus::rsClosed:
                return std::nullopt;
            case TReadStatus::rsWouldBlock:
                break;
        }
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count();
        if (waited >= timeoutMs)
            return std::nullopt;
        if (connection.Fill(static_cast<int>(timeoutMs - waited)) == TReadStatus::rsClosed &&
            connection.TakeLine(line, MaxRelayLineBytes) != TReadStatus::rsOk)
            return std::nullopt;
    }
}

std::unique_ptr<TStreamSocket> Dial(const TRelayTicket& ticket, int timeoutMs, std::string& error) {
    std::unique_ptr<TStreamSocket> connection = TStreamSocket::Connect(ticket.Host, ticket.Port, timeoutMs);
    if (!connection) {
        error = "中継サーバー " + ticket.Address + " に接続できません。";
        return nullptr;
    }
    if (connection->SendLine("FWPRELAY " + ticket.Token) <= 0) {
        error = "中継サーバー " + ticket.Address + " との接続が切れました。";
        return nullptr;
    }
    return connection;
}

// The relay's refusal as the user sees it.
std::string Refusal(const TRelayTicket& ticket, const std::optional<std::string>& line) {
    if (line && line->starts_with("ERR "))
        return "中継サーバーが接続を断りました: " + line->substr(4);
    return "中継サーバー " + ticket.Address + " が応答しません。";
}

}  // namespace

std::optional<TRelayTicket> AskRelay(const TEasyServiceClient& client, std::string_view user, bool waiting) {
    TRelayTicket ticket;
    try {
        if (!client.EasyServiceRelay(user, waiting, ticket.Address, ticket.Token))
            return std::nullopt;
    } catch (const TError&) {
        return std::nullopt;
    }
    const std::size_t colon = ticket.Address.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    ticket.Host = ticket.Address.substr(0, colon);
    if (ticket.Host.size() > 2 && ticket.Host.front() == '[' && ticket.Host.back() == ']')
        ticket.Host = ticket.Host.substr(1, ticket.Host.size() - 2);
    const std::optional<std::int32_t> port = ParseInt32(ticket.Address.substr(colon + 1));
    if (!port || *port < 1 || *port > 65535)
        return std::nullopt;
    ticket.Port = *port;
    return ticket;
}

std::unique_ptr<TStreamSocket> JoinRelay(const TRelayTicket& ticket, int timeoutMs, std::string& error) {
    std::unique_ptr<TStreamSocket> connection = Dial(ticket, timeoutMs, error);
    if (!connection)
        return nullptr;
    const std::optional<std::string> answer = ReadRelayLine(*connection, timeoutMs);
    if (answer != "OK") {
        error = Refusal(ticket, answer);
        return nullptr;
    }
    return connection;
}

bool TRelayWait::Park(const TRelayTicket& ticket, int timeoutMs, std::string& error) {
    m_connection = Dial(ticket, timeoutMs, error);
    if (!m_connection)
        return false;
    ProbeWhileParked(m_connection->Fd(), true);
    const std::optional<std::string> answer = ReadRelayLine(*m_connection, timeoutMs);
    if (answer != "WAIT") {
        error = Refusal(ticket, answer);
        m_connection.reset();
        return false;
    }
    m_address = ticket.Address;
    return true;
}

std::unique_ptr<TStreamSocket> TRelayWait::Poll(int timeoutMs) {
    if (!m_connection || !m_connection->WaitReadable(timeoutMs))
        return nullptr;
    // The relay says "OK" when it pairs; anything else, or its close, ends the wait.
    const std::optional<std::string> answer = ReadRelayLine(*m_connection, 1000);
    if (answer != "OK") {
        m_connection.reset();
        return nullptr;
    }
    // From here on the session's own keep-alives watch the link.
    ProbeWhileParked(m_connection->Fd(), false);
    return std::move(m_connection);
}

}  // namespace fwp
