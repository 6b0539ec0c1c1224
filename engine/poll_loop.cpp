#include "engine/poll_loop.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace fwp {

TPollLoop::TPollLoop() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TPollLoop::~TPollLoop() {
    ::close(m_wakeFd);
}

std::uint64_t TPollLoop::TickCount() const {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

bool TPollLoop::SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) {
    if (m_timers.contains(id))
        return false;
    const auto ms = std::max<std::int64_t>(interval.count(), 1);
    m_timers.emplace(id, TTimer{std::chrono::milliseconds(ms), TickCount() + static_cast<std::uint64_t>(ms),
                                std::move(onTimer)});
    return true;
}

void TPollLoop::KillTimer(int id) {
    m_timers.erase(id);
}

void TPollLoop::WatchRead(int fd, std::function<void()> onReady) {
    m_watches[fd] = std::move(onReady);
}

void TPollLoop::Unwatch(int fd) {
    m_watches.erase(fd);
}

void TPollLoop::WatchWrite(int fd, std::function<void()> onReady) {
    m_writeWatches[fd] = std::move(onReady);
}

void TPollLoop::UnwatchWrite(int fd) {
    m_writeWatches.erase(fd);
}

void TPollLoop::Post(std::function<void()> work) {
    {
        std::lock_guard lock(m_postMutex);
        m_posted.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(m_wakeFd, &one, sizeof one);
}

void TPollLoop::Quit() {
    Post([this] { m_quit = true; });
}

void TPollLoop::RunPosted() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(m_postMutex);
        batch.swap(m_posted);
    }
    for (auto& work : batch)
        Guard(work);
}

// A timer that fell behind fires once and then keeps its rhythm from now,
// instead of firing a burst of missed turns.
void TPollLoop::RunTimers() {
    std::vector<int> due;
    const std::uint64_t now = TickCount();
    for (const auto& [id, timer] : m_timers)
        if (timer.due <= now)
            due.push_back(id);
    for (const int id : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end() || it->second.due > TickCount())
            continue;
        TTimer& timer = it->second;
        const auto step = static_cast<std::uint64_t>(timer.interval.count());
        timer.due += step;
        if (timer.due + step <= now)
            timer.due = now + step;
        // The callback may kill or restart the timer; work on a copy.
        const auto onTimer = timer.onTimer;
        Guard(onTimer);
    }
}

int TPollLoop::MsUntilNextTimer() const {
    if (m_timers.empty())
        return -1;
    std::uint64_t next = UINT64_MAX;
    for (const auto& [id, timer] : m_timers)
        next = std::min(next, timer.due);
    const std::uint64_t now = TickCount();
    return next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(next - now, 1u << 30));
}

void TPollLoop::PollOnce(int timeoutMs) {
    // One entry per watch: a descriptor watched both ways appears twice.
    std::vector<pollfd> fds;
    fds.reserve(m_watches.size() + m_writeWatches.size() + 1);
    fds.push_back({m_wakeFd, POLLIN, 0});
    for (const auto& [fd, onReady] : m_watches)
        fds.push_back({fd, POLLIN, 0});
    const std::size_t firstWrite = fds.size();
    for (const auto& [fd, onReady] : m_writeWatches)
        fds.push_back({fd, POLLOUT, 0});
    const int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0)
        return;
    if (fds[0].revents) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto r = ::read(m_wakeFd, &count, sizeof count);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents)
            continue;
        auto& watches = i < firstWrite ? m_watches : m_writeWatches;
        auto it = watches.find(fds[i].fd);
        if (it == watches.end())
            continue;
        const auto onReady = it->second;
        Guard(onReady);
    }
}

void TPollLoop::ProcessMessages() {
    PollOnce(0);
    RunPosted();
    RunTimers();
}

void TPollLoop::WaitMessages(std::chrono::milliseconds maxWait) {
    int timeout = static_cast<int>(std::clamp<std::int64_t>(maxWait.count(), 0, 1 << 30));
    const int untilTimer = MsUntilNextTimer();
    if (untilTimer >= 0)
        timeout = std::min(timeout, untilTimer);
    {
        std::lock_guard lock(m_postMutex);
        if (!m_posted.empty())
            timeout = 0;
    }
    PollOnce(timeout);
    RunPosted();
    RunTimers();
}

void TPollLoop::Run() {
    m_quit = false;
    while (!m_quit)
        WaitMessages(std::chrono::milliseconds(1000));
    m_quit = false;
}

}  // namespace fwp
