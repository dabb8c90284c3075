// Runs inside its own D-Bus session (dbus-run-session): a bus with no secret service on it, where
// the test also plays the desktop's notification server on a second connection.

#include "platform/desktop.h"
#include "platform/secretstore.h"
#include "testutil.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

class FakeNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList received;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout)
    {
        Q_UNUSED(replacesId);
        Q_UNUSED(appIcon);
        Q_UNUSED(actions);
        Q_UNUSED(hints);
        Q_UNUSED(expireTimeout);
        received.append(appName + QStringLiteral(" | ") + summary + QStringLiteral(" | ") + body);
        return uint(received.size());
    }
};

class TestSessionBus : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fallsBackWithoutANotificationServer()
    {
        QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run inside dbus-run-session");
        QStringList fallback;
        DBusNotifier notifier([&](const QString &title, const QString &body) { fallback.append(title + QStringLiteral(" | ") + body); });
        notifier.notify(QStringLiteral("Link copied"), QStringLiteral("https://kavo.example/l/1"));
        QCOMPARE(fallback, QStringList{QStringLiteral("Link copied | https://kavo.example/l/1")});
    }

    void keychainWithoutSecretServiceUsesTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/secrets.json");
        LogCapture log;
        QElapsedTimer clock;
        clock.start();
        KeychainSecretStore store(std::make_unique<FileSecretStore>(path));
        store.save(QStringLiteral("Vendrel.BackendApiKey"), QStringLiteral("0123"));
        QCOMPARE(store.read(QStringLiteral("Vendrel.BackendApiKey")), QStringLiteral("0123"));
        QCOMPARE(FileSecretStore(path).read(QStringLiteral("Vendrel.BackendApiKey")), QStringLiteral("0123"));
        QVERIFY2(clock.elapsed() < 5000, "the missing service must not stall the caller");
        QCOMPARE(log.linesContaining(QStringLiteral("no secret service answered")).size(), 1);
    }

    void deliversToTheNotificationServer()
    {
        QDBusConnection serverBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-server"));
        FakeNotificationServer server;
        QVERIFY(serverBus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server, QDBusConnection::ExportAllSlots));
        QVERIFY(serverBus.registerService(QStringLiteral("org.freedesktop.Notifications")));

        int fallbacks = 0;
        DBusNotifier notifier([&](const QString &, const QString &) { ++fallbacks; });
        notifier.notify(QStringLiteral("Link copied"), QStringLiteral("https://kavo.example/l/2"));
        QTRY_COMPARE(server.received, QStringList{QStringLiteral("Kavo | Link copied | https://kavo.example/l/2")});
        QCOMPARE(fallbacks, 0);
        serverBus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-server"));
    }
};

QTEST_GUILESS_MAIN(TestSessionBus)
#include "tst_sessionbus.moc"
