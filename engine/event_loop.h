#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>

namespace fwp {

// The main thread's message loop as the engine sees it. The engine owns no
// loop: whoever hosts it (the window, fwpost, a test) supplies one, and the
// engine runs it wherever it has to wait instead of blocking.
class TEventLoop {
public:
    virtual ~TEventLoop() = default;

    // Runs what is pending once (due timers, ready input, posted work); never blocks.
    virtual void ProcessMessages() = 0;
    // Waits up to maxWait for something to become pending, then runs it once.
    // Used where the engine waits for a condition, so that it does not spin.
    virtual void WaitMessages(std::chrono::milliseconds maxWait) = 0;
    // Starts periodic timer id; false when a timer with that id already runs.
    virtual bool SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) = 0;
    virtual void KillTimer(int id) = 0;
    // Calls onReady from the loop while fd is readable (level-triggered);
    // one callback per descriptor.
    virtual void WatchRead(int fd, std::function<void()> onReady) = 0;
    virtual void Unwatch(int fd) = 0;
    // Calls onReady from the loop while fd is writable (level-triggered);
    // one callback per descriptor, independent of its read watch.
    virtual void WatchWrite(int fd, std::function<void()> onReady) = 0;
    virtual void UnwatchWrite(int fd) = 0;
    // Milliseconds of a monotonic clock.
    virtual std::uint64_t TickCount() const = 0;

    // Turns the loop until predicate holds or limit has passed; returns predicate().
    bool RunUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
        const std::uint64_t end = TickCount() + static_cast<std::uint64_t>(limit.count());
        while (!predicate()) {
            const std::uint64_t now = TickCount();
            if (now >= end)
                return predicate();
            WaitMessages(std::chrono::milliseconds(std::min<std::uint64_t>(end - now, 50)));
        }
        return true;
    }

    // Receives an error that escaped a callback run by the loop (a refused
    // handshake of a reconnection, for example). Without a handler the
    // message goes to standard error.
    std::function<void(const std::exception&)> OnError;

protected:
    // Runs a callback; an error escaping it goes to OnError.
    void Guard(const std::function<void()>& work) {
        try {
            work();
        } catch (const std::exception& error) {
            if (OnError)
                OnError(error);
            else
                std::fprintf(stderr, "%s\n", error.what());
        }
    }
};

}  // namespace fwp
