#include "app/background_job.h"

namespace fwp {

TBackgroundJob::~TBackgroundJob() {
    Join();
}

void TBackgroundJob::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

bool TBackgroundJob::Start(std::function<void()> work) {
    {
        std::lock_guard lock(m_mutex);
        if (m_running)
            return false;
        m_running = true;
    }
    Join();
    m_thread = std::thread([this, work = std::move(work)] {
        // An error of the work ends only the work: its results stay as they were.
        try {
            work();
        } catch (...) {
        }
        std::lock_guard lock(m_mutex);
        m_running = false;
        m_ended.notify_all();
    });
    return true;
}

bool TBackgroundJob::Running() const {
    std::lock_guard lock(m_mutex);
    return m_running;
}

bool TBackgroundJob::WaitFor(std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_ended.wait_for(lock, limit, [this] { return !m_running; });
}

}  // namespace fwp
