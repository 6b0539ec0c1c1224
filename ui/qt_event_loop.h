#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <QObject>

#include "engine/event_loop.h"

class QSocketNotifier;
class QTimer;

namespace fwp {

// The engine's message loop on Qt's: timers are QTimers on the main thread,
// a watched descriptor is a QSocketNotifier, and "run what is pending once"
// is one pass of Qt's event processing. Everything runs on the GUI thread.
class TQtEventLoop final : public QObject, public TEventLoop {
public:
    TQtEventLoop();
    ~TQtEventLoop() override;

    void ProcessMessages() override;
    void WaitMessages(std::chrono::milliseconds maxWait) override;
    bool SetTimer(int id, std::chrono::milliseconds interval, std::function<void()> onTimer) override;
    void KillTimer(int id) override;
    void WatchRead(int fd, std::function<void()> onReady) override;
    void Unwatch(int fd) override;
    void WatchWrite(int fd, std::function<void()> onReady) override;
    void UnwatchWrite(int fd) override;
    std::uint64_t TickCount() const override;

private:
    struct TTimer;
    struct TWatch;

    void FireTimer(const std::shared_ptr<TTimer>& timer);
    void RunBlockedTimers();
    using TWatches = std::map<int, std::shared_ptr<TWatch>>;
    void Watch(TWatches& watches, int fd, bool write, std::function<void()> onReady);
    void EndWatch(TWatches& watches, int fd);
    void NotifierActivated(TWatches& watches, int fd, const QSocketNotifier* notifier);

    std::map<int, std::shared_ptr<TTimer>> m_timers;
    TWatches m_watches;
    TWatches m_writeWatches;
};

}  // namespace fwp
