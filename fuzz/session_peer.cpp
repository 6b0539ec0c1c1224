#include "fuzz/session_peer.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/error.h"

namespace fwp::fuzz {
namespace {

using namespace std::chrono_literals;

constexpr int FeedTimerId = 90;
constexpr std::string_view PieceSeparator = "|||";

// The bytes after the handshake split at the separator. Past MaxPieces the
// rest goes as one piece, which keeps every input quick.
std::vector<std::string_view> Pieces(std::string_view rest) {
    constexpr std::size_t MaxPieces = 32;
    std::vector<std::string_view> pieces;
    while (!rest.empty()) {
        const std::size_t at =
            pieces.size() + 1 < MaxPieces ? rest.find(PieceSeparator) : std::string_view::npos;
        pieces.push_back(rest.substr(0, at));
        if (at == std::string_view::npos)
            break;
        rest.remove_prefix(at + PieceSeparator.size());
    }
    return pieces;
}

// Where the third line ends: the handshake is the banner, the address and the buffer size.
std::size_t HandshakeLength(std::string_view input) {
    std::size_t at = 0;
    for (int line = 0; line < 3; ++line) {
        const std::size_t end = input.find("\r\n", at);
        if (end == std::string_view::npos)
            return input.size();
        at = end + 2;
    }
    return at;
}

int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        std::abort();
    return fd;
}

void SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Closes with a reset, so that no connection lingers in TIME_WAIT.
void CloseAtOnce(int fd) {
    const linger noLinger{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    ::close(fd);
}

// The kernel holds nothing for the engine. A partial message may still wait
// in the engine's own buffer: after a tick that is all the buffer holds.
bool NothingUnread(const TStreamSocket& connection) {
    int pending = 0;
    return ::ioctl(connection.Fd(), FIONREAD, &pending) == 0 && pending == 0;
}

// What the user does meanwhile; the window can do it from inside any wait of
// the engine, since the engine runs the loop there.
void OwnerAction(TTranser& engine, std::string_view action) {
    if (action == "@close") {
        engine.Close();
        return;
    }
    std::vector<TTranserTask*> tasks;
    for (std::size_t i = 0; i < engine.Tasks().Count(); ++i)
        tasks.push_back(&engine.Tasks()[i]);
    for (TTranserTask* task : tasks) {
        if (action == "@suspend")
            engine.SuspendTask(*task);
        else if (action == "@resume")
            engine.ResumeTask(*task);
        else if (action == "@abort")
            engine.AbortTask(*task);
    }
}

}  // namespace

TFastLoop::TFastLoop() {
    m_loop.OnError = [](const std::exception& error) {
        if (!dynamic_cast<const TError*>(&error))
            std::abort();
    };
}

bool TFastLoop::SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) {
    if (id == FeedTimerId)
        return m_loop.SetTimer(id, interval, std::move(onTimer));
    return m_loop.SetTimer(id, 1ms, [this, onTimer = std::move(onTimer)] {
        onTimer();
        ++Ticks;
    });
}

void RunPeerSession(TFastLoop& loop, TTranser& engine, std::string_view input) {
    const std::size_t handshakeLength = HandshakeLength(input);
    const std::vector<std::string_view> pieces = Pieces(input.substr(handshakeLength));
    engine.Listen(0);
    const int peer = ConnectTo(engine.ListeningPort());
    SendAll(peer, input.substr(0, handshakeLength));
    if (pieces.empty())
        ::shutdown(peer, SHUT_WR);
    // What the engine sends is read and dropped.
    loop.WatchRead(peer, [&loop, peer] {
        char buffer[65536];
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            loop.Unwatch(peer);
    });

    bool started = false;
    try {
        started = engine.Accept(5000);
    } catch (const TError&) {
        // A handshake the engine refuses ends the session; that is a clean outcome.
    }
    if (started) {
        engine.Start();
        std::size_t next = 0;
        std::uint64_t ticksAtFeed = loop.Ticks;
        int quiet = 0;
        bool feeding = false;  // an owner action runs the loop, which must not feed meanwhile
        loop.SetTimer(FeedTimerId, 1ms, [&] {
            if (next >= pieces.size())
                return;
            const TStreamSocket* connection = engine.Connection();
            if (connection && !NothingUnread(*connection)) {
                quiet = 0;
                return;
            }
            const bool ready = engine.State() != tsBusy && loop.Ticks > ticksAtFeed;
            if (connection && !ready && ++quiet < 3)
                return;
            quiet = 0;
            if (feeding)
                return;
            feeding = true;
            const std::string_view piece = pieces[next++];
            if (piece.starts_with('@'))
                OwnerAction(engine, piece);
            else
                SendAll(peer, piece);
            feeding = false;
            ticksAtFeed = loop.Ticks;
            if (next == pieces.size())
                ::shutdown(peer, SHUT_WR);
        });
        // Once the peer's end is closed, a few whole ticks read what is left;
        // a partial message there stays unread for good.
        std::uint64_t ticksAtEnd = 0;
        const bool ended = loop.RunUntil(
            [&] {
                const TStreamSocket* connection = engine.Connection();
                if (next < pieces.size())
                    return false;
                if (!connection || engine.State() == tsClosed)
                    return true;
                if (!connection->Broken() || engine.State() == tsBusy)
                    return false;
                if (ticksAtEnd == 0)
                    ticksAtEnd = loop.Ticks;
                return loop.Ticks > ticksAtEnd + 2;
            },
            20s);
        loop.KillTimer(FeedTimerId);
        // The peer's bytes are all there and the engine has nothing to wait
        // for: still reading after this long means it hangs.
        if (!ended)
            std::abort();
    }
    loop.Unwatch(peer);
    CloseAtOnce(peer);
    engine.CloseSocket();
}

}  // namespace fwp::fuzz
