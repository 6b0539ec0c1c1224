// Internal to fuzz/: plays the peer of a real engine on a loopback port.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

#include "engine/poll_loop.h"
#include "engine/transer.h"

namespace fwp::fuzz {

// The poll loop with the engine's tick every millisecond instead of every
// 20 ms, counting the ticks that have run to their end. An error the engine
// reports to the user (a refused handshake) may reach the loop; any other
// error escaping the engine is a fault and aborts.
class TFastLoop final : public TEventLoop {
public:
    TFastLoop();

    void ProcessMessages() override { m_loop.ProcessMessages(); }
    void WaitMessages(std::chrono::milliseconds maxWait) override { m_loop.WaitMessages(maxWait); }
    bool SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) override;
    void KillTimer(int id) override { m_loop.KillTimer(id); }
    void WatchRead(int fd, std::function<void()> onReady) override {
        m_loop.WatchRead(fd, std::move(onReady));
    }
    void Unwatch(int fd) override { m_loop.Unwatch(fd); }
    void WatchWrite(int fd, std::function<void()> onReady) override {
        m_loop.WatchWrite(fd, std::move(onReady));
    }
    void UnwatchWrite(int fd) override { m_loop.UnwatchWrite(fd); }
    std::uint64_t TickCount() const override { return m_loop.TickCount(); }

    std::uint64_t Ticks = 0;

private:
    TPollLoop m_loop;
};

// Runs one session of engine (set up, not yet listening) with input as all
// that its peer sends. The first three lines (the handshake) go at once;
// after them the bytes go in pieces split at each "|||", the next piece only
// once the engine has read the one before and has run a tick since, so that
// a piece can answer what the engine sent. A piece that ends inside a
// message is followed as soon as the engine waits for the rest. A piece
// "@suspend", "@resume", "@abort" or "@close" is not sent: this side's user
// does that to every task (or to the session) at that moment instead. Past
// 32 pieces the rest goes as one. Aborts when the engine is still reading
// long after the peer has closed its end.
void RunPeerSession(TFastLoop& loop, TTranser& engine, std::string_view input);

}  // namespace fwp::fuzz
