// Runs inside its own D-Bus session (dbus-run-session): a bus with no secret service on it, where
// the test also plays the desktop's notification server on a second connection, and a secret
// service that is slow to answer in a process of its own.

#include "platform/desktop.h"
#include "platform/filechooser.h"
#include "platform/secretstore.h"
#include "testutil.h"
#include "upload/uploadmanager.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
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
    uint Notify(const QString &appName, uint replacesId, const QString &appIcon, const QString &summary, const QString &body,
                const QStringList &actionPairs, const QVariantMap &hints, int expireTimeout)
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
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (QWidget *widget : QApplication::topLevelWidgets())
                    if (widget->objectName() == "kavoFileChooser" && widget->isVisible())
                        dialog = qobject_cast<QFileDialog *>(widget);
                return dialog != nullptr;
            },
            3000));
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

    // A process of this test's that owns `name` on the bus and answers nothing it is asked.
    static std::unique_ptr<QProcess> serviceNamed(const QString &name)
    {
        auto service = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVO_TEST_OWN_SECRET_SERVICE"), name);
        service->setProcessEnvironment(env);
        service->start(QCoreApplication::applicationFilePath(), {});
        if (!service->waitForReadyRead(10000) || service->readLine() != "ready\n")
            return nullptr;
        return service;
    }

    // A secret service that is there but does not answer yet (an unlock prompt): the store waits
    // for it, however long, while the main thread goes on. When it then turns out to keep
    // nothing, the items live in the file, and the log says why.
    void aSlowSecretServiceIsWaitedForAndOneThatKeepsNothingReplaced()
    {
        std::unique_ptr<QProcess> service = serviceNamed(QStringLiteral("org.freedesktop.secrets"));
        QVERIFY(service);
        ::kill(pid_t(service->processId()), SIGSTOP);

        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/secrets.json");
        LogCapture log;
        {
            KeychainSecretStore store(std::make_unique<FileSecretStore>(path));
            store.save(QStringLiteral("Vendrel.GoogleOAuth"), QStringLiteral("refresh-1"));
            std::optional<std::optional<QString>> answer;
            QCoro::connect(store.read(QStringLiteral("Vendrel.GoogleOAuth")), this,
                           [&answer](const SecretRead &read) { answer = read.value; });
            int ticks = 0;
            QTimer ticker;
            connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
            ticker.start(100);
            QTest::qWait(11000); // longer than any patience the store might have
            QVERIFY(!answer.has_value());
            QVERIFY2(ticks >= 80, qPrintable(QStringLiteral("the main thread stalled: %1 ticks").arg(ticks)));
            QVERIFY(!QFile::exists(path));

            ::kill(pid_t(service->processId()), SIGCONT); // it answers now, and knows none of the objects asked for
            QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 40000);
            QCOMPARE(*answer, QStringLiteral("refresh-1"));
        }
        service->kill();
        service->waitForFinished(5000);
        QCOMPARE(FileSecretStore(path).value(QStringLiteral("Vendrel.GoogleOAuth")), QStringLiteral("refresh-1"));
        QCOMPARE(log.linesContaining(QStringLiteral("keeping secrets in ") + path
                                     + QStringLiteral(" (readable by you only), because the secret service did not keep a test item ("))
                     .size(),
                 1);
        QVERIFY(!log.lines().join(QLatin1Char('\n')).contains(QStringLiteral("refresh-1")));
    }

    // libsecret keeps what it learnt of the bus for the life of the process, bound to the thread
    // that asked first (the secret store's, one per process in Kavo): a test of a secret service
    // of its own runs in a fresh process. True in the test's own process once that one passed.
    static bool ranInAFreshProcess()
    {
        if (qEnvironmentVariableIsSet("KAVO_TEST_FRESH_PROCESS"))
            return false;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVO_TEST_FRESH_PROCESS"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        const QString function = QString::fromLatin1(QTest::currentTestFunction());
        child.start(QCoreApplication::applicationFilePath(), {function});
        const bool finished = child.waitForFinished(60000);
        const QByteArray output = child.readAll();
        const bool passed
            = finished && child.exitCode() == 0 && output.contains(QByteArray("PASS   : TestSessionBus::" + function.toLatin1() + "()"));
        if (!passed)
            qWarning("%s", output.constData());
        return passed || (QTest::qFail("the fresh process failed", __FILE__, __LINE__), true);
    }

    // The stand-in desktop secret service, run as `arguments` say, once it owns its name.
    static std::unique_ptr<QProcess> standInSecretService(const QStringList &arguments)
    {
        auto service = std::make_unique<QProcess>();
        service->start(QStringLiteral(KAVO_TEST_SECRET_SERVICE), arguments);
        if (!service->waitForReadyRead(10000) || service->readLine() != "ready\n")
            return nullptr;
        return service;
    }

    // A locked keyring whose unlock prompt the user dismisses: Kavo's item reads as locked, not
    // as missing, an item it does not hold reads as missing, and nothing moves to the file. The
    // user is asked once, not at every read, until they ask to unlock.
    void aLockedKeyringIsNotAMissingSecret()
    {
        if (ranInAFreshProcess())
            return;
        std::unique_ptr<QProcess> service = standInSecretService({"--locked", "Vendrel.BackendApiKey", "Vendrel.GoogleOAuth"});
        QVERIFY(service);
        QByteArray asked;
        const auto prompts = [&] { return (asked += service->readAllStandardError()).count("Prompt.Prompt"); };
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/secrets.json");
        LogCapture log;
        KeychainSecretStore store(std::make_unique<FileSecretStore>(path));
        const SecretRead key = awaitTask(store.read(QStringLiteral("Vendrel.BackendApiKey")));
        QVERIFY(key.locked);
        QCOMPARE(key.value, std::nullopt);
        QCOMPARE(prompts(), 1); // no test item was written first: that would have asked too
        QVERIFY(awaitTask(store.read(QStringLiteral("Vendrel.GoogleOAuth"))).locked);
        const SecretRead other = awaitTask(store.read(QStringLiteral("Vendrel.DropboxOAuth")));
        QVERIFY(!other.locked);
        QCOMPARE(other.value, std::nullopt);
        QCOMPARE(prompts(), 1);

        store.allowUnlockPrompt(); // the user asks to unlock, and dismisses the prompt again
        QVERIFY(awaitTask(store.read(QStringLiteral("Vendrel.BackendApiKey"))).locked);
        QCOMPARE(prompts(), 2);
        store.save(QStringLiteral("Vendrel.GoogleOAuth"), QStringLiteral("refresh-2")); // refused: the keyring stays shut
        QVERIFY(awaitTask(store.read(QStringLiteral("Vendrel.GoogleOAuth"))).locked);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(log.linesContaining(QStringLiteral("keeping secrets in")).size(), 0);
        QCOMPARE(log.linesContaining(QStringLiteral("did not read Vendrel.BackendApiKey: the keyring is locked")).size(), 2);
        QVERIFY(!log.lines().join(QLatin1Char('\n')).contains(QStringLiteral("refresh-2")));
        service->kill();
        service->waitForFinished(5000);
    }

    // What reaches the desktop's notification server: "Kavo" and the texts; a name escaped for a
    // server that reads markup in the body and sent as it is to one that does not; buttons only
    // for a server that shows them and a process that stays to hear them, and "Copy again"
    // puts the link on the clipboard once more, in this process.
    void notificationsReachTheServer()
    {
        NotificationServer desktop;
        QVERIFY(desktop.registered);
        int fallbacks = 0;
        SystemClipboard clipboard;
        const QString link = QStringLiteral("https://kavo.example/l/3");
        DBusNotifier plain([&](const QString &, const QString &) { ++fallbacks; });
        plain.setOffersActions(true);
        plain.notify(QStringLiteral("Upload failed"), QStringLiteral("Tom & Jerry <draft>.txt"), linkActions(link, true, &clipboard, {}));
        QTRY_COMPARE(desktop.server.received, QStringList{QStringLiteral("Kavo | Upload failed | Tom & Jerry <draft>.txt")});
        QCOMPARE(desktop.server.actions.value(0), QStringList()); // the server shows no buttons
        QCOMPARE(fallbacks, 0);

        desktop.server.capabilities.append({QStringLiteral("body-markup"), QStringLiteral("actions")});
        DBusNotifier notifier;
        notifier.setOffersActions(true);
        QList<QUrl> opened;
        notifier.notify(QStringLiteral("Link copied"), QStringLiteral("Tom & Jerry <draft>.txt"),
                        linkActions(link, true, &clipboard, [&opened](const QUrl &url) {
                            opened.append(url);
                            return true;
                        }));
        QTRY_COMPARE(desktop.server.received.size(), 2);
        QCOMPARE(desktop.server.received.last(), QStringLiteral("Kavo | Link copied | Tom &amp; Jerry &lt;draft&gt;.txt"));
        QCOMPARE(desktop.server.actions.last(), (QStringList{"open", "Open", "copy", "Copy again"}));
        QTest::qWait(100); // the notification's id is back

        QGuiApplication::clipboard()->setText(QStringLiteral("something else"));
        desktop.invoke(2, QStringLiteral("copy"));
        QTRY_COMPARE(QGuiApplication::clipboard()->text(), link);
        desktop.invoke(2, QStringLiteral("open"));
        QTRY_COMPARE(opened, QList<QUrl>{QUrl(link)});
        desktop.invoke(7, QStringLiteral("open")); // another program's notification
        QTest::qWait(100);
        QCOMPARE(opened.size(), 1);

        // A process that does not stay to hear the buttons offers none.
        DBusNotifier leaving;
        leaving.notify(QStringLiteral("Link copied"), link, linkActions(link, true, &clipboard, {}));
        QTRY_COMPARE(desktop.server.actions.size(), 3);
        QCOMPARE(desktop.server.actions.last(), QStringList());
    }
};

// The slow secret service: owns the service's name on the session bus, to be stopped by the test.
int playSecretService(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!QDBusConnection::sessionBus().registerService(qEnvironmentVariable("KAVO_TEST_OWN_SECRET_SERVICE")))
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
