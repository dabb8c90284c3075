// Runs inside its own D-Bus session (dbus-run-session): a bus with no secret service on it, where
// the test also plays the desktop's notification server on a second connection, and a secret
// service that is slow to answer in a process of its own.

#include "platform/desktop.h"
#include "platform/filechooser.h"
#include "platform/secretstore.h"
#include "upload/uploadmanager.h"
#include "testutil.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QClipboard>
#include <QApplication>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <signal.h>

class FakeNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities{QStringLiteral("body")};
    QStringList received;
    QList<QStringList> actions;

public Q_SLOTS:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary,
                const QString &body, const QStringList &actionPairs, const QVariantMap &hints, int expireTimeout)
    {
        Q_UNUSED(replacesId);
        Q_UNUSED(appIcon);
        Q_UNUSED(hints);
        Q_UNUSED(expireTimeout);
        received.append(appName + QStringLiteral(" | ") + summary + QStringLiteral(" | ") + body);
        actions.append(actionPairs);
        return uint(received.size());
    }
};

// The desktop's notification server on a connection of its own, for as long as it lives.
struct NotificationServer {
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-server"));
    FakeNotificationServer server;
    bool registered = bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &server, QDBusConnection::ExportAllSlots)
        && bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    ~NotificationServer()
    {
        bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-server"));
    }
    // The user presses the button of `key` on notification `id`.
    void invoke(uint id, const QString &key)
    {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                         QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
        signal << id << key;
        bus.send(signal);
    }
};

// The desktop's file chooser portal on a connection of its own: it answers each OpenFile with the
// request handle the caller asked for, then (as the user picks) with `answer` on that request.
class FakeFileChooserPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")
public:
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fake-portal"));
    QList<QVariantMap> asked;
    QStringList parents;
    uint response = 0;
    QStringList answer;

    bool start()
    {
        return bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), this, QDBusConnection::ExportAllSlots)
            && bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
    }
    ~FakeFileChooserPortal() override
    {
        bus.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-portal"));
    }

public Q_SLOTS:
    QDBusObjectPath OpenFile(const QString &parentWindow, const QString &title, const QVariantMap &options, const QDBusMessage &call)
    {
        Q_UNUSED(title);
        asked.append(options);
        parents.append(parentWindow);
        const QString sender = call.service().mid(1).replace('.', '_');
        const QString path = "/org/freedesktop/portal/desktop/request/" + sender + '/' + options.value("handle_token").toString();
        QTimer::singleShot(50, this, [this, path] {
            QDBusMessage signal = QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
            signal << response << QVariantMap{{"uris", answer}};
            bus.send(signal);
        });
        return QDBusObjectPath(path);
    }
};

class TestSessionBus : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // "Upload files…" asks the desktop's portal where there is one: several files, or one
    // folder; what the user picked comes back (only local files), a cancel gives nothing.
    void fileChooserAsksThePortal()
    {
        FakeFileChooserPortal portal;
        QVERIFY(portal.start());
        FileChooser chooser;
        QList<QUrl> got;
        bool answered = false;
        const auto done = [&](const QList<QUrl> &chosen) {
            got = chosen;
            answered = true;
        };
        portal.answer = {"file:///home/ann/a%20b.txt", "file:///home/ann/c.pdf"};
        chooser.choose(FileChooser::Kind::files, "x11:1a00003", done);
        QVERIFY(QTest::qWaitFor([&] { return answered; }, 5000));
        QCOMPARE(got, (QList<QUrl>{QUrl("file:///home/ann/a%20b.txt"), QUrl("file:///home/ann/c.pdf")}));
        QCOMPARE(portal.parents, QStringList{"x11:1a00003"});
        QCOMPARE(portal.asked.first().value("multiple").toBool(), true);
        QCOMPARE(portal.asked.first().value("directory").toBool(), false);

        // A folder; an answer with a remote address in it is taken as none, as a drop would be.
        answered = false;
        portal.answer = {"file:///home/ann/Trip", "https://example.com/x"};
        chooser.choose(FileChooser::Kind::folder, {}, done);
        QVERIFY(QTest::qWaitFor([&] { return answered; }, 5000));
        QVERIFY(got.isEmpty());
        QCOMPARE(portal.asked.last().value("directory").toBool(), true);
        QCOMPARE(portal.asked.last().value("multiple").toBool(), false);

        answered = false;
        portal.response = 1; // cancelled
        chooser.choose(FileChooser::Kind::files, {}, done);
        QVERIFY(QTest::qWaitFor([&] { return answered; }, 5000));
        QVERIFY(got.isEmpty());
        QVERIFY(!chooser.isAsking());
    }

    // No portal on the bus: Kavo's own dialog, answered by typing two names and Enter.
    void fileChooserFallsBackToADialog()
    {
        QTemporaryDir folder;
        writeFile(folder.filePath("one.txt"), "1");
        writeFile(folder.filePath("two.txt"), "2");
        FileChooser chooser;
        QList<QUrl> got;
        bool answered = false;
        chooser.choose(FileChooser::Kind::files, {}, [&](const QList<QUrl> &chosen) {
            got = chosen;
            answered = true;
        });
        QFileDialog *dialog = nullptr;
        QVERIFY(QTest::qWaitFor([&] {
            for (QWidget *widget : QApplication::topLevelWidgets())
                if (widget->objectName() == "kavoFileChooser" && widget->isVisible())
                    dialog = qobject_cast<QFileDialog *>(widget);
            return dialog != nullptr;
        }, 3000));
        QCOMPARE(dialog->directory().absolutePath(), QDir::homePath()); // not Kavo's working folder
        dialog->setDirectory(folder.path());
        QTest::qWait(300); // the dialog lists the folder in the background
        auto *name = dialog->findChild<QLineEdit *>("fileNameEdit");
        QVERIFY(name);
        name->setFocus();
        QTest::keyClicks(name, "\"one.txt\" \"two.txt\"");
        QTest::keyClick(name, Qt::Key_Return);
        QVERIFY2(QTest::qWaitFor([&] { return answered; }, 3000), qPrintable(name->text()));
        QCOMPARE(got, (QList<QUrl>{QUrl::fromLocalFile(folder.filePath("one.txt")), QUrl::fromLocalFile(folder.filePath("two.txt"))}));
    }

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
        QCOMPARE(awaitTask(store.read(QStringLiteral("Vendrel.BackendApiKey"))), QStringLiteral("0123"));
        QCOMPARE(FileSecretStore(path).value(QStringLiteral("Vendrel.BackendApiKey")), QStringLiteral("0123"));
        QVERIFY2(clock.elapsed() < 5000, "the missing service must not stall the caller");
        QCOMPARE(log.linesContaining(QStringLiteral("keeping secrets in ") + path
                                     + QStringLiteral(" (readable by you only), because no secret service is running on the session bus"))
                     .size(),
                 1);
    }

    // A secret service that is there but does not answer yet (an unlock prompt): the store waits
    // for it, however long, while the main thread goes on, and never moves the secrets to the
    // file. When the service then fails the calls, the item reads as absent and the log says why.
    void aSlowSecretServiceIsWaitedForNotReplaced()
    {
        QProcess service;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVO_TEST_OWN_SECRET_SERVICE"), QStringLiteral("1"));
        service.setProcessEnvironment(env);
        service.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(service.waitForReadyRead(10000));
        QCOMPARE(service.readLine(), QByteArray("ready\n"));
        ::kill(pid_t(service.processId()), SIGSTOP);

        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/secrets.json");
        LogCapture log;
        {
            KeychainSecretStore store(std::make_unique<FileSecretStore>(path));
            store.save(QStringLiteral("Vendrel.GoogleOAuth"), QStringLiteral("refresh-1"));
            std::optional<std::optional<QString>> answer;
            QCoro::connect(store.read(QStringLiteral("Vendrel.GoogleOAuth")), this,
                           [&answer](const std::optional<QString> &value) { answer = value; });
            int ticks = 0;
            QTimer ticker;
            connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
            ticker.start(100);
            QTest::qWait(11000); // longer than any patience the store might have
            QVERIFY(!answer.has_value());
            QVERIFY2(ticks >= 80, qPrintable(QStringLiteral("the main thread stalled: %1 ticks").arg(ticks)));
            QVERIFY(!QFile::exists(path));

            ::kill(pid_t(service.processId()), SIGCONT); // it answers now, and knows none of the objects asked for
            QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 40000);
            QCOMPARE(*answer, std::nullopt);
        }
        QVERIFY(!QFile::exists(path));
        QVERIFY(log.linesContaining(QStringLiteral("keeping secrets in")).isEmpty());
        QCOMPARE(log.linesContaining(QStringLiteral("the secret service did not save Vendrel.GoogleOAuth: ")).size(), 1);
        QCOMPARE(log.linesContaining(QStringLiteral("the secret service did not read Vendrel.GoogleOAuth: ")).size(), 1);
        QVERIFY(!log.lines().join(QLatin1Char('\n')).contains(QStringLiteral("refresh-1")));
        service.kill();
        service.waitForFinished(5000);
    }

    void deliversToTheNotificationServer()
    {
        NotificationServer desktop;
        QVERIFY(desktop.registered);
        int fallbacks = 0;
        DBusNotifier notifier([&](const QString &, const QString &) { ++fallbacks; });
        notifier.setOffersActions(true);
        SystemClipboard clipboard;
        notifier.notify(QStringLiteral("Link copied"), QStringLiteral("https://kavo.example/l/2"),
                        linkCopiedActions(QStringLiteral("https://kavo.example/l/2"), &clipboard, {}));
        QTRY_COMPARE(desktop.server.received, QStringList{QStringLiteral("Kavo | Link copied | https://kavo.example/l/2")});
        QCOMPARE(desktop.server.actions.value(0), QStringList()); // the server shows no buttons
        QCOMPARE(fallbacks, 0);
    }

    // A server with buttons gets "Open" and "Copy again"; pressing "Copy again" puts the link on
    // the clipboard once more, in this process.
    void aNotificationsButtonRunsItsAction()
    {
        NotificationServer desktop;
        QVERIFY(desktop.registered);
        desktop.server.capabilities.append(QStringLiteral("actions"));
        DBusNotifier notifier;
        notifier.setOffersActions(true);
        SystemClipboard clipboard;
        QList<QUrl> opened;
        const QString link = QStringLiteral("https://kavo.example/l/3");
        notifier.notify(QStringLiteral("Link copied"), link, linkCopiedActions(link, &clipboard, [&opened](const QUrl &url) {
                            opened.append(url);
                            return true;
                        }));
        QTRY_COMPARE(desktop.server.actions.size(), 1);
        QCOMPARE(desktop.server.actions.first(), (QStringList{"open", "Open", "copy", "Copy again"}));
        QTest::qWait(100); // the notification's id is back

        QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
        desktop.invoke(1, QStringLiteral("copy"));
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), link);
        desktop.invoke(1, QStringLiteral("open"));
        QTRY_COMPARE(opened, QList<QUrl>{QUrl(link)});
        desktop.invoke(7, QStringLiteral("open")); // another program's notification
        QTest::qWait(100);
        QCOMPARE(opened.size(), 1);

        // A process that does not stay to hear the buttons offers none.
        DBusNotifier leaving;
        leaving.notify(QStringLiteral("Link copied"), link, linkCopiedActions(link, &clipboard, {}));
        QTRY_COMPARE(desktop.server.actions.size(), 2);
        QCOMPARE(desktop.server.actions.last(), QStringList());
    }
};

// The slow secret service: owns the service's name on the session bus, to be stopped by the test.
int playSecretService(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!QDBusConnection::sessionBus().registerService(QStringLiteral("org.freedesktop.secrets")))
        return 1;
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    return app.exec();
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("KAVO_TEST_OWN_SECRET_SERVICE"))
        return playSecretService(argc, argv);
    QApplication app(argc, argv); // the file chooser's fallback is a widget dialog
    TestSessionBus test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sessionbus.moc"
