#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "engine/event_loop.h"

namespace fwp {

// A message loop built on poll(2), for fwpost and the tests. It runs timers,
// callbacks for readable descriptors, and work posted from other threads.
// Everything but Post and Quit must be called on the loop's own thread.
class TPollLoop final : public TEventLoop {
public:
    TPollLoop();
    ~TPollLoop() override;
    TPollLoop(const TPollLoop&) = delete;
    TPollLoop& operator=(const TPollLoop&) = delete;

    void ProcessMessages() override;
    void WaitMessages(std::chrono::milliseconds maxWait) override;
    bool SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) override;
    void KillTimer(int id) override;
    std::uint64_t TickCount() const override;

    void WatchRead(int fd, std::function<void()> onReady) override;
    void Unwatch(int fd) override;
    void WatchWrite(int fd, std::function<void()> onReady) override;
    void UnwatchWrite(int fd) override;
    // Runs work on the loop's thread at its next turn; callable from any thread.
    void Post(std::function<void()> work);

    // Turns the loop until Quit is called (from a handler or another thread).
    void Run();
    void Quit();

private:
    struct TTimer {
        std::chrono::milliseconds interval;
        std::uint64_t due;
        std::function<void()> onTimer;
    };
    void RunTimers();
    void RunPosted();
    void PollOnce(int timeoutMs);
    int MsUntilNextTimer() const;

    int m_wakeFd;
    std::map<int, TTimer> m_timers;
    std::map<int, std::function<void()>> m_watches;
    std::map<int, std::function<void()>> m_writeWatches;
    std::mutex m_postMutex;
    std::deque<std::function<void()>> m_posted;
    bool m_quit = false;
};

}  // namespace fwp
