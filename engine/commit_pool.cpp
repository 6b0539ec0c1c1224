#include "engine/commit_pool.h"

#include <sys/eventfd.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace fwp {

TCommitPool::TCommitPool() : m_eventFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TCommitPool::~TCommitPool() {
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
        for (const TJob& job : m_jobs)
            ::close(job.Fd);
        m_jobs.clear();
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    if (m_eventFd >= 0)
        ::close(m_eventFd);
}

void TCommitPool::Submit(std::int32_t id, int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    const std::lock_guard lock(m_mutex);
    if (copy < 0) {
        // No descriptor to spare: the caller's own sync will do the work.
        m_done.push_back({id, true});
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_eventFd, &one, sizeof one);
        return;
    }
    m_jobs.push_back({id, copy});
    if (m_idle == 0 && m_threads.size() < MaxThreads)
        m_threads.emplace_back([this] { Work(); });
    m_wake.notify_one();
}

std::vector<TCommitPool::TDone> TCommitPool::TakeDone() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto n = ::read(m_eventFd, &count, sizeof count);
    const std::lock_guard lock(m_mutex);
    std::vector<TDone> done;
    done.swap(m_done);
    return done;
}

void TCommitPool::Work() {
    std::unique_lock lock(m_mutex);
    while (true) {
        ++m_idle;
        m_wake.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        --m_idle;
        if (m_stop)
            return;
        const TJob job = m_jobs.front();
        m_jobs.pop_front();
        lock.unlock();
        // EINVAL: a descriptor that cannot be synced (not a disk file) holds nothing to sync.
        const bool ok = ::fdatasync(job.Fd) == 0 || errno == EINVAL;
        ::close(job.Fd);
        lock.lock();
        m_done.push_back({job.ID, ok});
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_eventFd, &one, sizeof one);
    }
}

}  // namespace fwp
