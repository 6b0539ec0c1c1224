// Desktop notifications through a notification service of the test's own,
// on a session bus (dbus-daemon) the test starts.
#include <csignal>

#include <QApplication>
#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <gtest/gtest.h>

#include "tests/ui/window_fixture.h"
#include "ui/notifier.h"

namespace fwp::test {

// Plays the desktop's notification service: every notification is written down.
class TFakeNotifications final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    std::vector<std::pair<std::string, std::string>> Shown;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        Shown.emplace_back(U(summary), U(body));
        return static_cast<uint>(Shown.size());
    }
};

namespace {

class Notifications : public TWindowTest {};

TEST_F(Notifications, AnOfferAndAFinishedFileAreAnnouncedWhileTheWindowIsInTheBackground) {
    TProcess bus("/usr/bin/dbus-daemon", {"--session", "--nofork", "--print-address"});
    const auto address = bus.WaitForLine("unix:");
    if (!address)
        GTEST_SKIP() << "no session bus could be started: " << bus.ErrorOutput();
    QDBusConnection desktop = QDBusConnection::connectToBus(Q(*address), QStringLiteral("fake-desktop"));
    ASSERT_TRUE(desktop.isConnected());
    TFakeNotifications service;
    ASSERT_TRUE(desktop.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(desktop.registerService(QStringLiteral("org.freedesktop.Notifications")));

    TPeer peer;
    MakeWindow();
    window->Notifier().SetBus(QDBusConnection::connectToBus(Q(*address), QStringLiteral("window-bus")));
    ConnectToPeer(peer);
    // Another window has the focus.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == &other; }, 10s));

    const auto file = box.WriteRandomFile("out/photo.jpg", 3000, 1);
    peer.Offer(file);
    ASSERT_TRUE(RunUntil([&] { return !service.Shown.empty(); }));
    EXPECT_EQ(service.Shown[0],
              (std::pair<std::string, std::string>{"ファイルの受信", "photo.jpg を受信しますか？"}));
    dialogs.SaveAnswers.push_back(box.Folder("received") / "photo.jpg");
    Answer(FindRow("受信", "photo.jpg"), "miAccept");
    ASSERT_TRUE(RunUntil([&] { return service.Shown.size() >= 2; }));
    EXPECT_EQ(service.Shown[1], (std::pair<std::string, std::string>{"転送完了", "photo.jpg"}));
    EndWindow();
    QDBusConnection::disconnectFromBus(QStringLiteral("window-bus"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-desktop"));
    bus.Signal(SIGTERM);
    EXPECT_TRUE(bus.Wait(10s).has_value());
}

TEST(Notifier, WithoutABusNothingHappens) {
    TNotifier notifier(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                     QStringLiteral("no-bus")));
    notifier.Notify(QStringLiteral("転送完了"), QStringLiteral("a.bin"));
    QDBusConnection::disconnectFromBus(QStringLiteral("no-bus"));
}

}  // namespace
}  // namespace fwp::test

#include "notification_test.moc"
