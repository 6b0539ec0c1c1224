#pragma once

#include <QDBusConnection>
#include <QString>

namespace fwp {

// Pop-up notifications through the desktop's notification service
// (org.freedesktop.Notifications on the session bus). Without a bus or a
// service nothing happens; the call never waits for an answer.
class TNotifier {
public:
    explicit TNotifier(const QDBusConnection& bus = QDBusConnection::sessionBus()) : m_bus(bus) {}

    void SetBus(const QDBusConnection& bus) { m_bus = bus; }
    void Notify(const QString& summary, const QString& body);

private:
    QDBusConnection m_bus;
};

}  // namespace fwp
