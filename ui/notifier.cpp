#include "ui/notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

using namespace Qt::StringLiterals;

namespace fwp {

void TNotifier::Notify(const QString& summary, const QString& body) {
    if (!m_bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.Notifications"_s,
                                                       u"/org/freedesktop/Notifications"_s,
                                                       u"org.freedesktop.Notifications"_s, u"Notify"_s);
    // Application name, no notification to replace, icon, texts, no actions or hints, the server's timeout.
    call << u"Fernwaypost"_s << 0u << u"fernwaypost"_s << summary << body << QStringList() << QVariantMap()
         << -1;
    m_bus.asyncCall(call);
}

}  // namespace fwp
