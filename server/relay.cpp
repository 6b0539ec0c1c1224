#include "server/relay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sodium.h>
#include <unistd.h>

#include "server/listener.h"

#include "server/rendezvous_server.h"

namespace fwp::server {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t MaxHelloBytes = 128;
constexpr auto HelloLimit = std::chrono::seconds(10);
// Bytes held for each direction of a pair: enough to keep a fast link busy,
// small enough that many pairs stay cheap.
constexpr std::size_t PumpBytes = std::size_t(128) << 10;
constexpr auto SweepInterval = std::chrono::milliseconds(500);
constexpr std::size_t TokenBytes = 16;

// A joining token signed by another instance: "s", a random nonce, the
// expiry (ms since 1970, 16 hex digits), the park id, and the first half of
// HMAC-SHA-256 of all that under the shared key, all in lower-case hex.
constexpr char SignedMark = 's';
constexpr std::size_t NonceChars = 16;
constexpr std::size_t ParkIdChars = 16;
constexpr std::size_t MacChars = 32;

std::int64_t WallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Mac(const std::string& key, const std::string& body) {
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(key.data()), key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    crypto_auth_hmacsha256_final(&state, mac);
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < MacChars / 2; ++i) {
        text += Hex[mac[i] >> 4];
        text += Hex[mac[i] & 15];
    }
    return text;
}

enum class TConnState : std::uint8_t { csHello, csParked, csPaired };

std::string NewToken() {
    unsigned char random[TokenBytes];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : random) {
        text += Hex[byte >> 4];
        text += Hex[byte & 15];
    }
    return text;
}

std::string AddressOf(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
    }
    return ClientAddressOf(text, "", false);
}

}  // namespace

// One client connection of the relay. A paired connection holds the bytes
// on their way to it (read from its peer) in Out.
struct TRelay::TConn {
    std::uint64_t Id = 0;
    int Fd = -1;
    std::string Address;
    TConnState State = TConnState::csHello;
    std::string Hello;
    std::string User;
    std::string ParkId;
    Clock::time_point Deadline;  // hello and parked: when it is dropped
    std::uint64_t Peer = 0;
    std::vector<char> Out;
    std::size_t OutBegin = 0;
    std::size_t OutEnd = 0;
    bool ReadDone = false;   // the client closed its sending side
    bool WriteShut = false;  // its peer's end has been passed on
    std::uint32_t Interest = 0;
    // Shared by both ends of a pair (kept on the waiting side's).
    Clock::time_point PairedAt;
    Clock::time_point LastByte;
    std::uint64_t Bytes = 0;
    bool Waiting = false;
};

TRelay::TRelay(const TRelaySettings& settings, std::FILE* log) : m_settings(settings), m_log(log) {
    // Sets up the library's random source once, before any thread uses it.
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

TRelay::~TRelay() {
    Stop();
    for (auto& [id, conn] : m_conns)
        ::close(conn->Fd);
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_epoll >= 0)
        ::close(m_epoll);
    if (m_wake >= 0)
        ::close(m_wake);
}

int TRelay::Bind() {
    const TListener listener = ListenOn(m_settings.Listen, true);
    m_listenFd = listener.Fd;
    m_port = listener.Port;
    return m_port;
}

std::string TRelay::Advertised() const {
    const THostPort address = m_settings.Advertise.value_or(THostPort{m_settings.Listen.Host, m_port});
    const bool ipv6 = address.Host.find(':') != std::string::npos;
    return (ipv6 ? "[" + address.Host + "]" : address.Host) + ":" + std::to_string(address.Port);
}

bool TRelay::Start() {
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll < 0 || m_wake < 0 || m_listenFd < 0)
        return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;  // the listening socket
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listenFd, &event);
    event.data.u64 = UINT64_MAX;  // the wake-up
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void TRelay::Stop() {
    m_stop = true;
    if (m_wake >= 0) {
        const std::uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) < 0) {
            // The counter is full: the thread has been woken already.
        }
    }
    if (m_thread.joinable())
        m_thread.join();
}

std::optional<TRelay::TWaitTicket> TRelay::IssueWaitToken(const std::string& user, Clock::time_point now) {
    const std::string parkId = NewToken().substr(0, ParkIdChars);
    std::optional<std::string> token = Issue(user, true, now, parkId);
    if (!token)
        return std::nullopt;
    return TWaitTicket{*token, parkId};
}

std::string TRelay::SignJoinToken(const std::string& parkId, std::int64_t nowMs) const {
    char expiry[17];
    std::snprintf(expiry, sizeof expiry, "%016llx",
                  static_cast<unsigned long long>(nowMs + m_settings.TokenTtl.count() * 1000));
    const std::string body = std::string(1, SignedMark) + NewToken().substr(0, NonceChars) + expiry + parkId;
    return body + Mac(m_sharedKey, body);
}

std::optional<std::string> TRelay::CheckSigned(const std::string& token, std::string& reason) {
    reason = "unknown token";
    const std::size_t bodySize = 1 + NonceChars + 16 + ParkIdChars;
    if (m_sharedKey.empty() || token.size() != bodySize + MacChars || token[0] != SignedMark)
        return std::nullopt;
    const std::string body = token.substr(0, bodySize);
    const std::string mac = Mac(m_sharedKey, body);
    if (sodium_memcmp(mac.data(), token.data() + bodySize, MacChars) != 0)
        return std::nullopt;
    const std::int64_t expires = std::stoll(body.substr(1 + NonceChars, 16), nullptr, 16);
    if (expires <= WallClockMs()) {
        reason = "expired token";
        return std::nullopt;
    }
    const std::size_t maxUsed = 4 * static_cast<std::size_t>(m_settings.MaxPairs + m_settings.MaxWaiting);
    if (m_usedSigned.size() >= maxUsed) {
        reason = "busy";
        return std::nullopt;
    }
    if (!m_usedSigned.emplace(body, expires).second)
        return std::nullopt;
    return body.substr(1 + NonceChars + 16);
}

std::optional<std::string> TRelay::IssueJoinToken(const std::string& user, Clock::time_point now) {
    {
        const std::lock_guard lock(m_mutex);
        if (!m_parked.contains(user))
            return std::nullopt;
    }
    return Issue(user, false, now);
}

std::optional<std::string> TRelay::Issue(const std::string& user, bool waiting, Clock::time_point now,
                                         const std::string& parkId) {
    const std::lock_guard lock(m_mutex);
    // Every client that may use the relay at once can hold a few tokens.
    const std::size_t maxTokens = 4 * static_cast<std::size_t>(m_settings.MaxPairs + m_settings.MaxWaiting);
    if (m_tokens.size() >= maxTokens)
        std::erase_if(m_tokens, [now](const auto& entry) { return entry.second.Expires <= now; });
    if (m_tokens.size() >= maxTokens)
        return std::nullopt;
    std::string token = NewToken();
    m_tokens[token] = TToken{user, waiting, now + m_settings.TokenTtl, parkId};
    return token;
}

void TRelay::Log(const std::string& line) {
    if (!m_log)
        return;
    std::fputs((UtcTimestamp() + " relay " + line + "\n").c_str(), m_log);
    std::fflush(m_log);
}

void TRelay::Run() {
    std::vector<epoll_event> events(256);
    Clock::time_point lastSweep = Clock::now();
    while (!m_stop) {
        const int n = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 500);
        for (int i = 0; i < n; ++i) {
            const std::uint64_t id = events[static_cast<std::size_t>(i)].data.u64;
            if (id == 0)
                AcceptAll();
            else if (id != UINT64_MAX)
                OnEvent(id, events[static_cast<std::size_t>(i)].events);
        }
        const Clock::time_point now = Clock::now();
        if (now - lastSweep >= SweepInterval) {
            Sweep(now);
            lastSweep = now;
        }
    }
    std::vector<std::uint64_t> ids;
    for (const auto& [id, conn] : m_conns)
        ids.push_back(id);
    for (const std::uint64_t id : ids)
        Close(id, "stopped");
}

void TRelay::AcceptAll() {
    while (true) {
        sockaddr_storage from{};
        socklen_t size = sizeof from;
        const int fd =
            ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&from), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const std::string address = AddressOf(from);
        // Every relay connection is a socket: the total stays within what
        // the limits allow, and one address gets only its share.
        const std::size_t maxConns = 2 * static_cast<std::size_t>(m_settings.MaxPairs) +
                                     static_cast<std::size_t>(m_settings.MaxWaiting) + 64;
        int& count = m_perAddress[address];
        if (m_conns.size() >= maxConns || (m_settings.PerAddress > 0 && count >= m_settings.PerAddress)) {
            if (count == 0)
                m_perAddress.erase(address);
            ::close(fd);
            continue;
        }
        ++count;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto conn = std::make_unique<TConn>();
        conn->Id = m_nextId++;
        conn->Fd = fd;
        conn->Address = address;
        conn->Deadline = Clock::now() + HelloLimit;
        conn->Interest = EPOLLIN;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = conn->Id;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_conns[conn->Id] = std::move(conn);
    }
}

void TRelay::OnEvent(std::uint64_t id, std::uint32_t events) {
    const auto it = m_conns.find(id);
    if (it == m_conns.end())
        return;
    TConn& conn = *it->second;
    switch (conn.State) {
        case TConnState::csHello:
            ReadHello(conn);
            return;
        case TConnState::csParked: {
            // A parked side has nothing to say until it is paired: a byte
            // or its close ends the wait.
            Close(id, "waiting side left");
            return;
        }
        case TConnState::csPaired:
            Pump(conn, events);
            return;
    }
}

void TRelay::Refuse(TConn& conn, std::string_view reason) {
    const std::string line = "ERR " + std::string(reason) + "\r\n";
    if (::send(conn.Fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) {
        // The client is gone already; the close below is all that is left.
    }
    Log(conn.Address + " refused: " + std::string(reason));
    Close(conn.Id, "refused");
}

void TRelay::ReadHello(TConn& conn) {
    char buffer[MaxHelloBytes];
    const ssize_t n = ::recv(conn.Fd, buffer, sizeof buffer - conn.Hello.size(), 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        Close(conn.Id, "left before its token");
        return;
    }
    conn.Hello.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = conn.Hello.find("\r\n");
    if (end == std::string::npos) {
        if (conn.Hello.size() >= MaxHelloBytes - 1)
            Refuse(conn, "bad hello");
        return;
    }
    const std::string line = conn.Hello.substr(0, end);
    std::string rest = conn.Hello.substr(end + 2);
    if (!line.starts_with(RelayHello)) {
        Refuse(conn, "bad hello");
        return;
    }
    const std::string token = line.substr(RelayHello.size());
    const Clock::time_point now = Clock::now();
    std::optional<TToken> found;
    std::uint64_t parkedId = 0;
    {
        const std::lock_guard lock(m_mutex);
        // A token counts as used from its first showing, valid or late.
        if (const auto it = m_tokens.find(token); it != m_tokens.end()) {
            found = it->second;
            m_tokens.erase(it);
        }
        if (found && found->Expires > now && !found->Waiting) {
            if (const auto parked = m_parked.find(found->User); parked != m_parked.end())
                parkedId = parked->second;
        }
    }
    if (!found) {
        // A token another instance signed for a side parked here.
        std::string reason;
        const std::optional<std::string> parkId = CheckSigned(token, reason);
        const auto parked = parkId ? m_parkIds.find(*parkId) : m_parkIds.end();
        if (!parkId) {
            Refuse(conn, reason);
        } else if (parked == m_parkIds.end() || !m_conns.contains(parked->second)) {
            Refuse(conn, "no waiting side");
        } else if (m_pairs >= m_settings.MaxPairs) {
            Refuse(conn, "busy");
        } else {
            conn.Hello = std::move(rest);
            Pair(*m_conns[parked->second], conn);
        }
        return;
    }
    if (found->Expires <= now) {
        Refuse(conn, "expired token");
        return;
    }
    conn.User = found->User;
    if (found->Waiting) {
        if (!rest.empty()) {
            Refuse(conn, "bad hello");
            return;
        }
        std::uint64_t replaced = 0;
        {
            const std::lock_guard lock(m_mutex);
            int parkedCount = static_cast<int>(m_parked.size());
            const auto it = m_parked.find(conn.User);
            if (it != m_parked.end()) {
                replaced = it->second;
                --parkedCount;
            }
            if (parkedCount >= m_settings.MaxWaiting) {
                found.reset();
            } else {
                m_parked[conn.User] = conn.Id;
            }
        }
        if (!found) {
            Refuse(conn, "busy");
            return;
        }
        // The user's newest waiting connection replaces an older one.
        if (replaced != 0)
            Close(replaced, "replaced");
        conn.State = TConnState::csParked;
        conn.Deadline = now + m_settings.WaitTime;
        conn.ParkId = found->ParkId;
        m_parkIds[conn.ParkId] = conn.Id;
        conn.Hello.clear();
        const std::string_view answer = "WAIT\r\n";
        if (::send(conn.Fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
            Close(conn.Id, "waiting side left");
            return;
        }
        return;
    }
    const auto waiting = m_conns.find(parkedId);
    if (parkedId == 0 || waiting == m_conns.end()) {
        Refuse(conn, "no waiting side");
        return;
    }
    if (m_pairs >= m_settings.MaxPairs) {
        Refuse(conn, "busy");
        return;
    }
    conn.Hello = std::move(rest);
    Pair(*waiting->second, conn);
}

void TRelay::Pair(TConn& waiting, TConn& joining) {
    {
        const std::lock_guard lock(m_mutex);
        m_parked.erase(waiting.User);
    }
    m_parkIds.erase(waiting.ParkId);
    ++m_pairs;
    const Clock::time_point now = Clock::now();
    for (TConn* conn : {&waiting, &joining}) {
        conn->State = TConnState::csPaired;
        conn->Out.resize(PumpBytes);
        conn->OutBegin = 0;
        conn->OutEnd = 0;
        const std::string_view ok = "OK\r\n";
        std::copy(ok.begin(), ok.end(), conn->Out.begin());
        conn->OutEnd = ok.size();
    }
    // Bytes the joining side sent right after its token belong to the waiting side.
    std::copy(joining.Hello.begin(), joining.Hello.end(),
              waiting.Out.begin() + static_cast<long>(waiting.OutEnd));
    waiting.OutEnd += joining.Hello.size();
    joining.Hello.clear();
    waiting.Peer = joining.Id;
    joining.Peer = waiting.Id;
    waiting.Waiting = true;
    waiting.PairedAt = waiting.LastByte = now;
    Log(waiting.Address + " " + joining.Address + " paired (" + std::to_string(m_pairs) + " pairs)");
    UpdateInterest(waiting);
    UpdateInterest(joining);
}

void TRelay::UpdateInterest(TConn& conn) {
    std::uint32_t interest = 0;
    if (conn.State != TConnState::csPaired) {
        interest = EPOLLIN;
    } else {
        const auto peer = m_conns.find(conn.Peer);
        if (!conn.ReadDone && peer != m_conns.end() && peer->second->OutEnd < PumpBytes)
            interest |= EPOLLIN;
        if (conn.OutEnd > conn.OutBegin)
            interest |= EPOLLOUT;
    }
    if (interest == conn.Interest)
        return;
    conn.Interest = interest;
    epoll_event event{};
    event.events = interest;
    event.data.u64 = conn.Id;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, conn.Fd, &event);
}

void TRelay::Pump(TConn& conn, std::uint32_t events) {
    const auto peerIt = m_conns.find(conn.Peer);
    if (peerIt == m_conns.end()) {
        Close(conn.Id, "peer gone");
        return;
    }
    TConn& peer = *peerIt->second;
    TConn& owner = conn.Waiting ? conn : peer;  // holds the pair's counters
    if ((events & (EPOLLERR)) != 0) {
        ClosePair(conn, "connection failed");
        return;
    }
    // Writes first: they make room for reads.
    if ((events & EPOLLOUT) != 0 && conn.OutEnd > conn.OutBegin) {
        const ssize_t n =
            ::send(conn.Fd, conn.Out.data() + conn.OutBegin, conn.OutEnd - conn.OutBegin, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ClosePair(conn, "send failed");
            return;
        }
        if (n > 0) {
            conn.OutBegin += static_cast<std::size_t>(n);
            if (conn.OutBegin == conn.OutEnd)
                conn.OutBegin = conn.OutEnd = 0;
        }
    }
    if ((events & (EPOLLIN | EPOLLHUP)) != 0 && !conn.ReadDone && peer.OutEnd < PumpBytes) {
        if (peer.OutBegin > 0 && peer.OutEnd == PumpBytes) {
            std::copy(peer.Out.begin() + static_cast<long>(peer.OutBegin), peer.Out.end(), peer.Out.begin());
            peer.OutEnd -= peer.OutBegin;
            peer.OutBegin = 0;
        }
        const ssize_t n = ::recv(conn.Fd, peer.Out.data() + peer.OutEnd, PumpBytes - peer.OutEnd, 0);
        if (n == 0) {
            conn.ReadDone = true;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            ClosePair(conn, "receive failed");
            return;
        } else if (n > 0) {
            peer.OutEnd += static_cast<std::size_t>(n);
            owner.Bytes += static_cast<std::uint64_t>(n);
            owner.LastByte = Clock::now();
            if (m_settings.MaxBytes != 0 && owner.Bytes > m_settings.MaxBytes) {
                ClosePair(conn, "byte limit");
                return;
            }
            // Passed on at once where the socket takes it, saving a turn of the loop.
            const ssize_t sent =
                ::send(peer.Fd, peer.Out.data() + peer.OutBegin, peer.OutEnd - peer.OutBegin, MSG_NOSIGNAL);
            if (sent > 0) {
                peer.OutBegin += static_cast<std::size_t>(sent);
                if (peer.OutBegin == peer.OutEnd)
                    peer.OutBegin = peer.OutEnd = 0;
            } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
                ClosePair(conn, "send failed");
                return;
            }
        }
    }
    // A side that stopped sending: once its last bytes are through, the
    // other side learns it the same way.
    for (TConn* side : {&conn, &peer}) {
        TConn& other = side == &conn ? peer : conn;
        if (side->ReadDone && !other.WriteShut && other.OutEnd == other.OutBegin) {
            ::shutdown(other.Fd, SHUT_WR);
            other.WriteShut = true;
        }
    }
    if (conn.WriteShut && peer.WriteShut) {
        ClosePair(conn, "ended");
        return;
    }
    UpdateInterest(conn);
    UpdateInterest(peer);
}

void TRelay::Sweep(Clock::time_point now) {
    std::vector<std::pair<std::uint64_t, std::string_view>> ends;
    for (const auto& [id, conn] : m_conns) {
        if (conn->State != TConnState::csPaired) {
            if (now >= conn->Deadline)
                ends.emplace_back(id,
                                  conn->State == TConnState::csHello ? "no token in time" : "wait time over");
        } else if (conn->Waiting) {
            if (now - conn->PairedAt >= m_settings.MaxTime)
                ends.emplace_back(id, "time limit");
            else if (now - conn->LastByte >= m_settings.Idle)
                ends.emplace_back(id, "idle");
        }
    }
    for (const auto& [id, reason] : ends) {
        const auto it = m_conns.find(id);
        if (it == m_conns.end())
            continue;
        if (it->second->State == TConnState::csPaired)
            ClosePair(*it->second, reason);
        else
            Close(id, reason);
    }
    const std::int64_t wallNow = WallClockMs();
    std::erase_if(m_usedSigned, [wallNow](const auto& entry) { return entry.second <= wallNow; });
    const std::lock_guard lock(m_mutex);
    std::erase_if(m_tokens, [now](const auto& entry) { return entry.second.Expires <= now; });
}

void TRelay::ClosePair(TConn& conn, std::string_view reason) {
    const std::uint64_t id = conn.Id;
    const std::uint64_t peerId = conn.Peer;
    const auto peer = m_conns.find(peerId);
    const TConn& owner = conn.Waiting || peer == m_conns.end() ? conn : *peer->second;
    const double seconds = std::chrono::duration<double>(Clock::now() - owner.PairedAt).count();
    char took[32];
    std::snprintf(took, sizeof took, "%.1f", seconds);
    Log("pair ended (" + std::string(reason) + ") bytes " + std::to_string(owner.Bytes) + " seconds " + took);
    Close(id, reason);
    Close(peerId, reason);
}

void TRelay::Close(std::uint64_t id, std::string_view) {
    const auto it = m_conns.find(id);
    if (it == m_conns.end())
        return;
    TConn& conn = *it->second;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, conn.Fd, nullptr);
    ::close(conn.Fd);
    if (conn.State == TConnState::csPaired && conn.Waiting)
        --m_pairs;
    if (conn.State == TConnState::csParked) {
        m_parkIds.erase(conn.ParkId);
        const std::lock_guard lock(m_mutex);
        if (const auto parked = m_parked.find(conn.User); parked != m_parked.end() && parked->second == id)
            m_parked.erase(parked);
    }
    if (const auto count = m_perAddress.find(conn.Address);
        count != m_perAddress.end() && --count->second <= 0)
        m_perAddress.erase(count);
    m_conns.erase(it);
}

}  // namespace fwp::server
