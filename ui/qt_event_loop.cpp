#include "ui/qt_event_loop.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace fwp {

struct TQtEventLoop::TTimer {
    std::unique_ptr<QTimer> Timer;
    std::function<void()> OnTimer;
    std::uint64_t IntervalMs = 0;
    std::uint64_t Due = 0;
    int Running = 0;  // how many of its callbacks are on the stack
};

struct TQtEventLoop::TWatch {
    std::unique_ptr<QSocketNotifier> Notifier;
    std::function<void()> OnReady;
};

TQtEventLoop::TQtEventLoop() = default;

TQtEventLoop::~TQtEventLoop() {
    for (auto& [id, timer] : m_timers)
        timer->Timer->stop();
    for (auto& [fd, watch] : m_watches)
        watch->Notifier->setEnabled(false);
    for (auto& [fd, watch] : m_writeWatches)
        watch->Notifier->setEnabled(false);
}

std::uint64_t TQtEventLoop::TickCount() const {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

bool TQtEventLoop::SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) {
    if (m_timers.contains(id))
        return false;
    auto timer = std::make_shared<TTimer>();
    timer->Timer = std::make_unique<QTimer>();
    timer->Timer->setTimerType(Qt::PreciseTimer);
    timer->OnTimer = std::move(onTimer);
    timer->IntervalMs = static_cast<std::uint64_t>(std::max<std::int64_t>(interval.count(), 1));
    timer->Due = TickCount() + timer->IntervalMs;
    const std::weak_ptr<TTimer> weak = timer;
    QObject::connect(timer->Timer.get(), &QTimer::timeout, this, [this, weak] {
        if (const auto alive = weak.lock())
            FireTimer(alive);
    });
    timer->Timer->start(static_cast<int>(timer->IntervalMs));
    m_timers.emplace(id, std::move(timer));
    return true;
}

void TQtEventLoop::KillTimer(int id) {
    const auto it = m_timers.find(id);
    if (it == m_timers.end())
        return;
    // The callback may be the one killing its own timer: the QTimer must
    // outlive the signal it is emitting.
    QTimer* qtimer = it->second->Timer.release();
    qtimer->stop();
    qtimer->deleteLater();
    m_timers.erase(it);
}

void TQtEventLoop::FireTimer(const std::shared_ptr<TTimer>& timer) {
    timer->Due = TickCount() + timer->IntervalMs;
    ++timer->Running;
    const auto onTimer = timer->OnTimer;
    Guard(onTimer);
    --timer->Running;
}

// Qt never delivers a timer again while its own callback runs. The engine's
// tick runs the loop while it waits and counts on a nested tick to run (and
// see that the engine is busy), as the poll loop does; so a due timer whose
// callback is on the stack is run from here.
void TQtEventLoop::RunBlockedTimers() {
    const std::uint64_t now = TickCount();
    std::vector<std::shared_ptr<TTimer>> due;
    for (const auto& [id, timer] : m_timers)
        if (timer->Running > 0 && timer->Due <= now)
            due.push_back(timer);
    for (const auto& timer : due)
        if (timer->Timer)
            FireTimer(timer);
}

void TQtEventLoop::WatchRead(int fd, std::function<void()> onReady) {
    Watch(m_watches, fd, false, std::move(onReady));
}

void TQtEventLoop::Unwatch(int fd) {
    EndWatch(m_watches, fd);
}

void TQtEventLoop::WatchWrite(int fd, std::function<void()> onReady) {
    Watch(m_writeWatches, fd, true, std::move(onReady));
}

void TQtEventLoop::UnwatchWrite(int fd) {
    EndWatch(m_writeWatches, fd);
}

void TQtEventLoop::Watch(TWatches& watches, int fd, bool write, std::function<void()> onReady) {
    if (const auto it = watches.find(fd); it != watches.end()) {
        it->second->OnReady = std::move(onReady);
        return;
    }
    auto watch = std::make_shared<TWatch>();
    watch->Notifier =
        std::make_unique<QSocketNotifier>(fd, write ? QSocketNotifier::Write : QSocketNotifier::Read);
    watch->OnReady = std::move(onReady);
    const QSocketNotifier* notifier = watch->Notifier.get();
    TWatches* set = &watches;
    QObject::connect(watch->Notifier.get(), &QSocketNotifier::activated, this,
                     [this, set, fd, notifier] { NotifierActivated(*set, fd, notifier); });
    watches.emplace(fd, std::move(watch));
}

void TQtEventLoop::EndWatch(TWatches& watches, int fd) {
    const auto it = watches.find(fd);
    if (it == watches.end())
        return;
    QSocketNotifier* notifier = it->second->Notifier.release();
    notifier->setEnabled(false);
    notifier->deleteLater();
    watches.erase(it);
}

void TQtEventLoop::NotifierActivated(TWatches& watches, int fd, const QSocketNotifier* notifier) {
    const auto it = watches.find(fd);
    if (it == watches.end() || it->second->Notifier.get() != notifier)
        return;
    const std::shared_ptr<TWatch> watch = it->second;
    // Readiness is reported for as long as it lasts; while the callback runs
    // (and turns the loop) it must not be called again.
    watch->Notifier->setEnabled(false);
    const auto onReady = watch->OnReady;
    Guard(onReady);
    // The callback may have ended the watch or set it up anew.
    const auto now = watches.find(fd);
    if (now != watches.end() && now->second == watch)
        watch->Notifier->setEnabled(true);
}

void TQtEventLoop::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    RunBlockedTimers();
}

void TQtEventLoop::WaitMessages(std::chrono::milliseconds maxWait) {
    if (maxWait.count() <= 0) {
        ProcessMessages();
        return;
    }
    // A single-shot timer bounds the wait for the next event.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(std::min<std::int64_t>(maxWait.count(), 1 << 30)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    RunBlockedTimers();
}

}  // namespace fwp
