// The application controller over real stores and a loopback service, and the QML popover and
// alert loaded offscreen on top of it.

#include "backend/backendapi.h"
#include "backend/historystore.h"
#include "backend/preferences.h"
#include "backend/presetsstore.h"
#include "backend/themestore.h"
#include "cloud/dropboxauth.h"
#include "cloud/googleauth.h"
#include "platform/endpoints.h"
#include "fakeserver.h"
#include "platform/desktop.h"
#include "platform/notificationcenter.h"
#include "platform/secretstore.h"
#include "shell/accountstore.h"
#include "shell/appcontroller.h"
#include "testutil.h"
#include "ui/foreigntypes.h"
#include "upload/uploadmanager.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QPointer>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(Kavo_UiPlugin)

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

const QString builtinKey = QStringLiteral("0").repeated(64);
const QString newKey = QStringLiteral("aB3").repeated(21) + QStringLiteral("f");

struct Shell {
    QTemporaryDir config;
    FakeServer server;
    QNetworkAccessManager network;
    Http http{&network, 2000ms};
    MemorySecretStore secrets;
    NotificationCenter notifications;
    AccountStore account{&secrets, DefaultsStore::standard(config.path()), DefaultsStore::suite(config.path()), &notifications,
                         {builtinKey, QStringLiteral("admin@kavo.invalid")}};
    BackendAPI api{&http, server.url(), [this] { return account.apiKey(); }, &secrets};
    Preferences preferences{DefaultsStore::standard(config.path())};
    HistoryStore history{&api};
    PresetsStore presets{&api, &preferences};
    ThemeStore theme{DefaultsStore::standard(config.path())};
    GoogleAuth google{&http, Endpoints::compiledIn(), &secrets, DefaultsStore::suite(config.path()), GoogleAuth::Options{}};
    DropboxAuth dropbox{&http, Endpoints::compiledIn(), &secrets, DropboxAuth::Options{}};
    // A Dropbox sign-in that the browser never completes.
    struct : CloudAuth {
        bool isSignedIn() const override { return false; }
        QCoro::Task<Result<void>> signIn() override { co_return Error{QStringLiteral("auth"), 1, QStringLiteral("Dropbox sign-in was cancelled.")}; }
    } refusingDropbox;
    UploadManager uploads{storeServices(&api, &history, &presets, &preferences, &notifications)};
    QList<QUrl> opened;
    RecordingClipboard clipboard;
    AppController controller{parts()};
    QSignalSpy alerts{&controller, &AppController::alert};

    AppController::Parts parts()
    {
        AppController::Parts p;
        p.uploads = &uploads;
        p.account = &account;
        p.history = &history;
        p.presets = &presets;
        p.notifications = &notifications;
        p.dropbox = &refusingDropbox;
        p.serviceBaseUrl = server.url();
        p.openBrowser = [this](const QUrl &url) {
            opened.append(url);
            return true;
        };
        p.popoverRefreshInterval = 150ms;
        return p;
    }
    ~Shell()
    {
        // Reloads still in flight would be cut off with the network and strand their frames.
        controller.setPopoverVisible(false);
        for (int settled = 0; settled < 3; ++settled) {
            if (!QTest::qWaitFor([this] { return !history.isLoading() && !presets.isLoading(); }, 3000))
                qWarning("a reload was still running at the end of the test");
            QTest::qWait(50);
        }
    }
    Shell()
    {
        server.route("GET", "/api/presets.php", Response::json(200, "{\"presets\":[],\"default_id\":null}"));
        server.route("GET", "/api/history.php", Response::json(200, "{\"items\":[]}"));
    }
    // The setup link's outcome: the alert's title and message (empty when none came).
    QStringList open(const QString &link)
    {
        controller.handleSetupLink(QUrl(link));
        if (!QTest::qWaitFor([this] { return !alerts.isEmpty(); }, 3000))
            return {};
        return alerts.isEmpty() ? QStringList() : QStringList{alerts.last().at(0).toString(), alerts.last().at(1).toString()};
    }
    QStringList served() const
    {
        QStringList out;
        for (const FakeServer::Request &r : server.requests())
            out.append(r.path + QLatin1Char(' ') + QString::fromLatin1(r.header("X-Api-Key").left(6)));
        return out;
    }
    QStringList paths() const
    {
        QStringList out;
        for (const FakeServer::Request &r : server.requests())
            out.append(r.path);
        return out;
    }
};

// The texts shown in the visual tree under `item`.
QStringList texts(QQuickItem *item)
{
    QStringList out;
    if (item->isVisible() && !item->property("text").toString().isEmpty())
        out.append(item->property("text").toString());
    for (QQuickItem *child : item->childItems())
        out += texts(child);
    return out;
}

// The item of that object name in the visual tree under `item`.
QQuickItem *findItem(QQuickItem *item, const QString &name)
{
    if (item->objectName() == name)
        return item;
    for (QQuickItem *child : item->childItems())
        if (QQuickItem *found = findItem(child, name))
            return found;
    return nullptr;
}

QQuickWindow *window(QQmlApplicationEngine &engine, const char *propertyName)
{
    return qobject_cast<QQuickWindow *>(engine.rootObjects().value(0)->property(propertyName).value<QObject *>());
}

} // namespace

class TestAppController : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void setupLinkSignsInThenRefreshes()
    {
        Shell s;
        s.controller.launch();
        QVERIFY(QTest::qWaitFor([&] { return s.server.requests().size() == 2; }, 2000));
        s.server.clearLog();
        // Scheme and host compare in lower case; the refreshes run once, with the new key, before
        // the alert.
        QCOMPARE(s.open("KAVO://Setup?key=" + newKey + "&email=ann%2Bkavo%40example.com&name=Ann%20B"),
                 (QStringList{"Signed in", "You're signed in as ann+kavo@example.com. Kavo is ready to upload."}));
        QCOMPARE(s.account.apiKey(), newKey);
        QCOMPARE(s.account.email(), QStringLiteral("ann+kavo@example.com"));
        QCOMPARE(s.account.name(), QStringLiteral("Ann B"));
        QTest::qWait(100);
        QCOMPARE(s.served(), (QStringList{"/api/presets.php aB3aB3", "/api/history.php aB3aB3"}));
    }

    void setupLinkVariants()
    {
        {
            // No e-mail; and of two keys the first counts. A failing refresh still ends signed in.
            Shell s;
            s.server.route("GET", "/api/history.php", Response::json(500, "{\"error\":\"down\"}"));
            const QString other = QStringLiteral("c").repeated(64);
            QCOMPARE(s.open("vendrel://setup?key=" + newKey + "&key=" + other),
                     (QStringList{"Signed in", "Kavo is now signed in and ready to upload."}));
            QCOMPARE(s.account.apiKey(), newKey);
        }
        for (const QString &bad : QStringList{"kavo://setup?key=" + QStringLiteral("g").repeated(64), QStringLiteral("kavo://setup?email=a%40b.c"),
                                   "kavo://setup?key=" + QStringLiteral("a").repeated(63), QStringLiteral("kavo://setup?key")}) {
            Shell s;
            QCOMPARE(s.open(bad), (QStringList{"Couldn't sign in", "The signup link didn't contain a valid API key."}));
            QCOMPARE(s.account.apiKey(), builtinKey);
            QVERIFY(s.server.requests().isEmpty());
        }
        for (const QString &ignored : QStringList{"kavo://dashboard?key=" + newKey, "https://setup/?key=" + newKey}) {
            Shell s;
            s.controller.handleSetupLink(QUrl(ignored));
            QTest::qWait(50);
            QVERIFY2(s.alerts.isEmpty(), qPrintable(ignored));
            QCOMPARE(s.account.apiKey(), builtinKey);
        }
    }

    void successFlashOutlastsTheLastSuccess()
    {
        Shell s;
        s.controller.launch();
        QElapsedTimer clock;
        clock.start();
        s.notifications.post(NotificationCenter::uploadSucceeded);
        QCOMPARE(s.controller.iconState(), AppController::IconState::success);
        QTest::qWait(500);
        s.notifications.post(NotificationCenter::uploadSucceeded);
        QTest::qWait(1000); // 1.5 s after the first, 1.0 s after the second
        QCOMPARE(s.controller.iconState(), AppController::IconState::success);
        QVERIFY(QTest::qWaitFor([&] { return s.controller.iconState() == AppController::IconState::normal; }, 1000));
        QVERIFY(clock.elapsed() >= 1600); // 1.7 s, less the coarse timer's 5 %

        // The drop target's hover look shows on the icon, under a running flash.
        s.controller.setDropHovering(true);
        QCOMPARE(s.controller.iconState(), AppController::IconState::highlighted);
        s.controller.flashSuccessIcon();
        QCOMPARE(s.controller.iconState(), AppController::IconState::success);
        s.controller.setDropHovering(false);
    }

    void dropsStartAnUploadThenOpenThePopover()
    {
        Shell s;
        QVERIFY(!s.controller.acceptsDrop({}));
        QVERIFY(!s.controller.acceptsDrop({QUrl("https://example.com/a.pdf")}));
        QVERIFY(!s.controller.acceptsDrop({QUrl::fromLocalFile("/tmp/a"), QUrl("https://example.com/b")}));
        s.controller.handleDrop({QUrl("https://example.com/a.pdf")});
        QCOMPARE(s.uploads.jobs().size(), 0);

        QStringList posted;
        s.notifications.observe(NotificationCenter::popoverDidOpen, &s.controller, [&] { posted.append("open"); });
        const QList<QUrl> three{QUrl::fromLocalFile(s.config.filePath("a")), QUrl::fromLocalFile(s.config.filePath("b")),
                                QUrl::fromLocalFile(s.config.filePath("c"))};
        s.controller.handleDrop(three);
        QCOMPARE(s.uploads.jobs().size(), 1);
        QCOMPARE(s.uploads.jobs().first().sourceURLs, three);
        QVERIFY(!s.controller.popoverVisible()); // only once the drop has been accepted
        QVERIFY(QTest::qWaitFor([&] { return s.controller.popoverVisible(); }, 1000));
        QCOMPARE(posted, QStringList{"open"});
        s.controller.togglePopover();
        QVERIFY(!s.controller.popoverVisible());
        // The tray click that closed it by taking the focus does not reopen it; a later one does.
        s.controller.togglePopover();
        QVERIFY(!s.controller.popoverVisible());
        QTest::qWait(350);
        s.controller.togglePopover();
        QVERIFY(s.controller.popoverVisible());
    }

    void popoverRefreshesWhileOpen()
    {
        Shell s;
        s.controller.launch();
        QVERIFY(QTest::qWaitFor([&] { return s.server.requests().size() == 2; }, 2000));
        s.server.clearLog();

        // Opening it: the presets only while none are loaded (none came), then the history, and
        // the history again on every beat while it stays open.
        s.controller.showPopover();
        QVERIFY(QTest::qWaitFor([&] { return s.paths().count("/api/history.php") >= 3; }, 3000));
        QCOMPARE(s.paths().first(), QStringLiteral("/api/presets.php"));
        QCOMPARE(s.paths().count("/api/presets.php"), 1);
        s.controller.setPopoverVisible(false);
        QTest::qWait(100);
        const int seen = s.server.requests().size();
        QTest::qWait(400);
        QCOMPARE(s.server.requests().size(), seen);

        // Signing in or out reloads both.
        s.server.clearLog();
        s.account.signOut();
        QVERIFY(QTest::qWaitFor([&] { return s.server.requests().size() == 2; }, 2000));
        QCOMPARE(s.paths(), (QStringList{"/api/presets.php", "/api/history.php"}));
    }

    void popoverAndAlertInQml()
    {
        Shell s;
        LinkActions links(&s.api, &s.history, &s.uploads, &s.clipboard);
        exposeToQml({&s.controller, &s.account, &s.history, &s.presets, &s.preferences, &s.theme, &s.google, &s.dropbox, &links});
        QQmlApplicationEngine engine;
        LogCapture log;
        engine.load(QUrl(QStringLiteral("qrc:/Kavo/Ui/Main.qml")));
        QVERIFY2(!engine.rootObjects().isEmpty(), qPrintable(log.lines().join('\n')));

        QQuickWindow *popover = window(engine, "popover");
        QVERIFY(popover && !popover->isVisible());
        s.controller.showPopover();
        QVERIFY(popover->isVisible());
        QCOMPARE(popover->width(), 320);
        QCOMPARE(popover->height(), 400);
        const auto item = [&](const char *name) { return popover->findChild<QQuickItem *>(name); };

        // Signed in, nothing yet: the dashboard pill, the design row, the drop hint.
        QVERIFY(item("dashboardPill")->isVisible());
        QCOMPARE(item("designName")->property("text").toString(), QStringLiteral("Default"));
        QVERIFY(texts(popover->contentItem()).contains("Drop files here"));
        QMetaObject::invokeMethod(item("dashboardPill"), "clicked");
        QCOMPARE(s.opened, QList<QUrl>{Endpoints::join(s.server.url(), "dashboard/")});

        // A file that can't be read: its row says why; with no history there is no "Recent".
        s.controller.handleDrop({QUrl::fromLocalFile(s.config.filePath("missing.pdf"))});
        QVERIFY(QTest::qWaitFor([&] { return !s.uploads.jobs().isEmpty() && s.uploads.jobs().first().state == UploadJob::State::failed; }, 3000));
        QVERIFY(QTest::qWaitFor([&] {
            return !texts(popover->contentItem()).filter(QRegularExpression("^Couldn't read source: missing.pdf — ")).isEmpty();
        }, 1000));
        QVERIFY(!texts(popover->contentItem()).contains("Drop files here"));
        QVERIFY(!texts(popover->contentItem()).contains("RECENT"));
        QCOMPARE(findItem(popover->contentItem(), "uploadStage")->property("text").toString(), QStringLiteral("Failed"));
        QVERIFY(!findItem(popover->contentItem(), "uploadCopy")->isVisible());

        // A past link: its summary, and its copy button puts the page's address on the clipboard.
        s.server.route("GET", "/api/history.php",
                       Response::json(200, "{\"items\":[{\"token\":\"t1\",\"filename\":\"report.pdf\",\"filesize\":2048,"
                                           "\"mimetype\":\"application/pdf\",\"custom_message\":\"\",\"protected\":true,"
                                           "\"download_count\":1,\"status\":\"protected\",\"view_url\":\"http://k/l/t1\",\"download_url\":\"d\"}]}"));
        awaitTask(s.history.refresh(15));
        QVERIFY(QTest::qWaitFor([&] { return texts(popover->contentItem()).contains("RECENT"); }, 1000));
        QVERIFY(texts(popover->contentItem()).contains("2.0 KB · 1 download · password"));
        QMetaObject::invokeMethod(findItem(popover->contentItem(), "copyButton"), "clicked");
        QCOMPARE(s.clipboard.texts, QStringList{QStringLiteral("http://k/l/t1")});

        // A reload that adds a link above it and changes its count keeps the row's delegate.
        const QPointer<QQuickItem> rowTitle = findItem(popover->contentItem(), "historyTitle");
        QVERIFY(rowTitle);
        s.server.route("GET", "/api/history.php",
                       Response::json(200, "{\"items\":[{\"token\":\"t0\",\"filename\":\"new.pdf\",\"filesize\":1,"
                                           "\"mimetype\":\"application/pdf\",\"custom_message\":\"\",\"protected\":false,"
                                           "\"download_count\":0,\"status\":\"active\",\"view_url\":\"http://k/l/t0\",\"download_url\":\"d\"},"
                                           "{\"token\":\"t1\",\"filename\":\"report.pdf\",\"filesize\":2048,"
                                           "\"mimetype\":\"application/pdf\",\"custom_message\":\"\",\"protected\":true,"
                                           "\"download_count\":2,\"status\":\"protected\",\"view_url\":\"http://k/l/t1\",\"download_url\":\"d\"}]}"));
        awaitTask(s.history.refresh(15));
        QVERIFY(QTest::qWaitFor([&] { return texts(popover->contentItem()).contains("2.0 KB · 2 downloads · password"); }, 1000));
        QVERIFY2(rowTitle, "the listed row's delegate was rebuilt");
        QCOMPARE(rowTitle->property("text").toString(), QStringLiteral("report.pdf"));

        // Dismissing the upload row takes the job away.
        QMetaObject::invokeMethod(findItem(popover->contentItem(), "uploadRemove"), "clicked");
        QVERIFY(s.uploads.jobs().isEmpty());

        // The theme toggle names the other theme and switches to it.
        QCOMPARE(item("themeSymbol")->property("name").toString(), QStringLiteral("sun.max.fill"));
        QMetaObject::invokeMethod(item("themeToggle"), "clicked");
        QVERIFY(s.theme.isDark());
        QCOMPARE(item("themeSymbol")->property("name").toString(), QStringLiteral("moon.fill"));

        // Signed out: the sign-in panel, whatever the lists hold, and no pill.
        s.account.signOut();
        QVERIFY(QTest::qWaitFor([&] { return texts(popover->contentItem()).contains("Sign in to Kavo"); }, 1000));
        QVERIFY(!item("dashboardPill")->isVisible());
        QMetaObject::invokeMethod(item("signInButton"), "clicked");
        QCOMPARE(s.opened.last(), Endpoints::join(s.server.url(), "login.php"));

        // Preferences: what the account, provider and expiry rows say.
        s.controller.showSettings();
        QQuickWindow *settings = window(engine, "settingsWindow");
        QVERIFY(settings && settings->isVisible());
        const auto setting = [&](const char *name) { return findItem(settings->contentItem(), name)->property("text").toString(); };
        const auto label = [&](const char *name) { return findItem(settings->contentItem(), name)->property("label").toString(); };
        QCOMPARE(setting("accountTitle"), QStringLiteral("Not signed in"));
        s.account.signIn(newKey, QStringLiteral("ann@example.com"), std::nullopt);
        QCOMPARE(setting("accountTitle"), QStringLiteral("Signed in"));
        QCOMPARE(setting("accountDetail"), QStringLiteral("ann@example.com"));
        for (const auto &[days, text] : {std::pair{7, "7 days"}, std::pair{0, "Never"}, std::pair{45, "45 days"}, std::pair{365, "1 year"}}) {
            s.preferences.setExpiryDays(days);
            QCOMPARE(label("expiryMenu"), QString::fromUtf8(text));
        }
        QCOMPARE(label("providerMenu"), QStringLiteral("Google Drive"));
        s.preferences.setSelectedProviderRaw("dropbox");
        QCOMPARE(label("providerMenu"), QStringLiteral("Dropbox"));
        QCOMPARE(setting("providerStatus"), QStringLiteral("Not signed in"));
        QSignalSpy ended(&s.controller, &AppController::dropboxSignInEnded);
        QMetaObject::invokeMethod(findItem(settings->contentItem(), "providerSignIn"), "clicked");
        QVERIFY(ended.wait(1000) || !ended.isEmpty());
        QCOMPARE(ended.first().first().toString(), QStringLiteral("Dropbox sign-in was cancelled."));
        QVERIFY(texts(settings->contentItem()).contains("Dropbox sign-in was cancelled."));

        Q_EMIT s.controller.alert("Signed in", "Kavo is now signed in and ready to upload.");
        QQuickWindow *alert = window(engine, "alertWindow");
        QVERIFY(alert && alert->isVisible());
        QCOMPARE(alert->findChild<QQuickItem *>("alertTitle")->property("text").toString(), QStringLiteral("Signed in"));
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("text").toString(),
                 QStringLiteral("Kavo is now signed in and ready to upload."));

        // Text from outside is shown as it is: markup in a setup link's e-mail is not rendered and
        // fetches nothing.
        s.server.clearLog();
        const QString markup = "<img src=\"" + s.server.url().toString() + "/x\">";
        Q_EMIT s.controller.alert("Signed in", markup);
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("text").toString(), markup);
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("textFormat").toInt(), 0 /* Text.PlainText; AutoText would render it */);
        QTest::qWait(300);
        QVERIFY(s.server.requests("GET", "/x").isEmpty());

        // A delete's cleanup warning reaches the user although no row of that link is left.
        Q_EMIT links.finished("gone", "delete", QString(), "The Drive file couldn't be removed.");
        QCOMPARE(alert->findChild<QQuickItem *>("alertTitle")->property("text").toString(), QStringLiteral("Cleanup incomplete"));
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("text").toString(),
                 QStringLiteral("The Drive file couldn't be removed."));
        s.controller.setPopoverVisible(false);
        QVERIFY(!popover->isVisible());
        QVERIFY2(log.linesContaining("qrc:/").isEmpty(), qPrintable(log.lines().join('\n')));
    }
};

QTEST_MAIN(TestAppController)
#include "tst_appcontroller.moc"
