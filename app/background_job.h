#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace fwp {

// Runs one piece of blocking work (a router search, a SOAP call) on a thread
// of its own, so that the window's loop goes on meanwhile. What the work
// writes is safe to read once Running() is false. One piece at a time.
class TBackgroundJob {
public:
    TBackgroundJob() = default;
    // Waits for the work to end: it may still use what its owner holds.
    ~TBackgroundJob();
    TBackgroundJob(const TBackgroundJob&) = delete;
    TBackgroundJob& operator=(const TBackgroundJob&) = delete;

    // Starts work; false (and nothing started) while earlier work still runs.
    bool Start(std::function<void()> work);
    bool Running() const;
    // Waits up to limit for the work to end; true when none runs.
    bool WaitFor(std::chrono::milliseconds limit) const;

private:
    void Join();

    std::thread m_thread;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_ended;
    bool m_running = false;
};

}  // namespace fwp
