#pragma once
// Internal to engine/.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace fwp {

// Puts received files on disk (fdatasync) on threads of their own, so that
// many small files do not wait for each other's sync on the loop's thread,
// and the file system can commit several at once. The loop learns of
// finished syncs through a descriptor that turns readable.
class TCommitPool {
public:
    struct TDone {
        std::int32_t ID;
        bool Ok;
    };

    TCommitPool();
    // Waits for the syncs in progress; queued ones are dropped.
    ~TCommitPool();
    TCommitPool(const TCommitPool&) = delete;
    TCommitPool& operator=(const TCommitPool&) = delete;

    // Syncs a copy of fd (the caller keeps its own) for the task id.
    void Submit(std::int32_t id, int fd);
    // Readable while finished syncs wait to be taken.
    int NotifyFd() const { return m_eventFd; }
    std::vector<TDone> TakeDone();

private:
    void Work();

    static constexpr std::size_t MaxThreads = 4;
    struct TJob {
        std::int32_t ID;
        int Fd;
    };
    int m_eventFd = -1;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<TJob> m_jobs;
    std::vector<TDone> m_done;
    std::vector<std::thread> m_threads;
    std::size_t m_idle = 0;
    bool m_stop = false;
};

}  // namespace fwp
