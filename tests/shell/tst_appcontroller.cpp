// The application controller over real stores and a loopback service, and the QML popover and
// alert loaded offscreen on top of it.

#include "cloudstandins.h"
#include "links/cloudcleanup.h"
#include "loopbackapplication.h"
#include "platform/desktop.h"
#include "shell/appcontroller.h"
#include "testutil.h"
#include "ui/foreigntypes.h"

#include <QClipboard>
#include <QMimeData>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSignalSpy>

#include <QPointer>
#include <QTest>
#include <QtQml/QQmlExtensionPlugin>
#include <algorithm>
#include <qcoro/qcorotimer.h>

Q_IMPORT_QML_PLUGIN(Kavo_UiPlugin)

using namespace std::chrono_literals;
using Response = FakeServer::Response;

namespace {

const QString builtinKey = QStringLiteral("0").repeated(64);
const QString newKey = QStringLiteral("aB3").repeated(21) + QStringLiteral("f");

struct Shell : LoopbackApplication {
    // A browser sign-in that fails at once or, when `waits`, waits until it is cancelled.
    struct StandInAuth : CloudAuth {
        bool waits = false;
        bool cancelled = false;
        bool isSignedIn() const override { return false; }
        QCoro::Task<Result<void>> signIn() override
        {
            cancelled = false;
            while (waits && !cancelled)
                co_await QCoro::sleepFor(10ms);
            co_return Error{QStringLiteral("auth"), 1, QStringLiteral("Dropbox sign-in was cancelled.")};
        }
        void cancelSignIn() override { cancelled = true; }
    };
    StandInAuth googleStandIn;
    StandInAuth refusingDropbox;
    // Where the tray says its icon is (nowhere until a test says), the pointer, and whether a
    // button is held down in some application.
    QRect trayIcon;
    QPoint pointer{100, 100};
    bool buttonDown = false;
    // What the file chooser was asked for, and what the user picks in it.
    QStringList chooserAsked;
    QList<QUrl> chosen;
    AppController controller{parts()};
    QSignalSpy alerts{&controller, &AppController::alert};

    AppController::Parts parts()
    {
        AppController::Parts p = app.controllerParts();
        p.dropbox = &refusingDropbox;
        p.google = &googleStandIn;
        p.popoverRefreshInterval = 150ms;
        p.trayIconGeometry = [this] { return trayIcon; };
        p.pointer = [this] { return pointer; };
        p.pointerButtonDown = [this] { return buttonDown; };
        p.chooseFiles = [this](bool folder, std::function<void(const QList<QUrl> &)> done) {
            chooserAsked.append(folder ? "folder" : "files");
            done(chosen);
        };
        p.copiedFiles = [] { return copiedFiles(QGuiApplication::clipboard()->mimeData()); };
        return p;
    }
    ~Shell()
    {
        // Reloads still in flight would be cut off with the network and strand their frames.
        controller.setPopoverVisible(false);
        if (!QTest::qWaitFor([this] { return !app.history.isLoading() && !app.presets.isLoading(); }, 5000))
            qWarning("a reload was still running at the end of the test");
    }
    Shell()
    {
        googleStandIn.waits = true;
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

// Every item of the visual tree under `item` (rows made by a Repeater are not its QObject children).
QList<QQuickItem *> allItems(QQuickItem *item)
{
    QList<QQuickItem *> out{item};
    for (QQuickItem *child : item->childItems())
        out += allItems(child);
    return out;
}

QQuickWindow *window(QQmlApplicationEngine &engine, const char *propertyName)
{
    return qobject_cast<QQuickWindow *>(engine.rootObjects().value(0)->property(propertyName).value<QObject *>());
}

// Keys pressed one by one into the window's focused item.
void type(QWindow *window, const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(window, c.toLatin1());
}

// One password-protected link, downloaded once, as the service lists it.
const QByteArray protectedReport = "{\"items\":[{\"token\":\"t1\",\"filename\":\"report.pdf\",\"filesize\":2048,"
                                   "\"mimetype\":\"application/pdf\",\"custom_message\":\"\",\"protected\":true,"
                                   "\"download_count\":1,\"status\":\"protected\",\"view_url\":\"http://k/l/t1\",\"download_url\":\"d\"}]}";

QByteArray historyJson(const QList<std::tuple<QString, QString, int>> &items) // token, filename, downloads
{
    QByteArray out = "{\"items\":[";
    for (const auto &[token, filename, downloads] : items) {
        if (!out.endsWith('['))
            out += ',';
        out += "{\"token\":\"" + token.toUtf8() + "\",\"filename\":\"" + filename.toUtf8()
            + "\",\"filesize\":2048,\"drive_file_id\":\"file-" + token.toUtf8()
            + "\",\"provider\":\"google\",\"mimetype\":\"application/pdf\",\"custom_message\":\"\",\"protected\":false,"
              "\"download_count\":"
            + QByteArray::number(downloads) + ",\"status\":\"active\",\"view_url\":\"http://k/l/" + token.toUtf8()
            + "\",\"download_url\":\"d\"}";
    }
    return out + "]}";
}

// The whole interface over a shell: the link actions (deleting cloud files through the fake
// server), the QML windows, and the popover opened.
struct Ui {
    Shell &s;
    FixedToken driveToken;
    CloudCleanup cleanup{&s.app.http, s.app.endpoints, &driveToken, &driveToken};
    // Once the windows are gone, the application's own link actions come back, so that none is
    // left pointing at this cleanup.
    struct Restore {
        std::unique_ptr<LinkActions> &slot;
        std::unique_ptr<LinkActions> kept;
        ~Restore() { slot = std::move(kept); }
    } restore{s.app.links, nullptr};
    QQmlApplicationEngine engine;
    QQuickWindow *popover = nullptr;

    explicit Ui(Shell &shell)
        : s(shell)
    {
        // Deleted links' cloud files go with a Drive token the fake server takes.
        restore.kept = std::exchange(
            s.app.links, std::make_unique<LinkActions>(&s.app.backend, &cleanup, &s.app.history, s.app.uploads.get(), &s.clipboard));
        s.app.exposeToQml(&s.controller);
        engine.load(QUrl(QStringLiteral("qrc:/Kavo/Ui/Main.qml")));
        popover = window(engine, "popover");
    }
    QQuickItem *item(const QString &name) const { return findItem(popover->contentItem(), name); }
    // A popup of the panel (they sit outside the visual tree while closed).
    QObject *popup(const char *name) const { return popover->findChild<QObject *>(QLatin1String(name)); }
    void reload(const QByteArray &history)
    {
        s.server.route("GET", "/api/history.php", FakeServer::Response::json(200, history));
        awaitTask(s.app.history.refresh(15));
        QTest::qWait(30);
    }
};

} // namespace

class TestAppController : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void setupLinkVariants()
    {
        {
            // No e-mail; and of two keys the first counts. A failing refresh still ends signed in.
            Shell s;
            s.server.route("GET", "/api/history.php", Response::json(500, "{\"error\":\"down\"}"));
            const QString other = QStringLiteral("c").repeated(64);
            s.controller.openServicePage("signup.php");
            QCOMPARE(s.open("vendrel://setup?key=" + newKey + "&key=" + other),
                     (QStringList{"Signed in", "Kavo is now signed in and ready to upload."}));
            QCOMPARE(s.app.account.apiKey(), newKey);
        }
        for (const QString &bad :
             QStringList{"kavo://setup?key=" + QStringLiteral("g").repeated(64), QStringLiteral("kavo://setup?email=a%40b.c"),
                         "kavo://setup?key=" + QStringLiteral("a").repeated(63), QStringLiteral("kavo://setup?key")}) {
            Shell s;
            QCOMPARE(s.controller.handleSetupLink(QUrl(bad)).refusal, QStringLiteral("The signup link didn't contain a valid API key."));
            QTRY_COMPARE(s.alerts.size(), 1);
            QCOMPARE(s.alerts.first(), (QVariantList{"Couldn't sign in", "The signup link didn't contain a valid API key."}));
            QCOMPARE(s.app.account.apiKey(), builtinKey);
            QVERIFY(s.server.requests().isEmpty());
        }
    }

    // Drags that start in other applications and focus losses, in the orders the desktop can
    // report them (the desktop test drives the common roads on a real X server).
    void panelFollowsDragsAndFocus()
    {
        Shell s;
        const auto settle = [] { QTest::qWait(int(AppController::dropGrace.count()) + 150); };

        // Files still over the panel when the buttons come up: it waits for the drop; files
        // that leave it after the drag ended take it away.
        s.buttonDown = true;
        s.controller.dragStarted();
        QVERIFY(s.controller.panelShownForDrag());
        s.controller.panelLostFocus(); // never while a drag is on
        s.controller.setDropHovering(true);
        s.buttonDown = false;
        s.controller.dragEnded();
        settle();
        QVERIFY(s.controller.popoverVisible());
        s.controller.setDropHovering(false);
        settle();
        QVERIFY(!s.controller.popoverVisible());

        // A tray that does not say where its icon is: a panel for a drag goes to the top right
        // corner, not under the pointer the drag is on.
        s.pointer = QPoint(200, 300);
        s.controller.dragStarted();
        QCOMPARE(s.controller.popoverPosition(), QPoint(800 - 320, 5)); // the offscreen screen is 800 wide
        s.controller.dragEnded();
        settle();

        // An open panel and a press in another window that ends without a drag: it closes on
        // the release, as on any click elsewhere; pinned, it stays.
        s.controller.showPopover();
        s.buttonDown = true;
        s.controller.panelLostFocus();
        QTest::qWait(150);
        QVERIFY(s.controller.popoverVisible());
        s.buttonDown = false;
        QVERIFY(QTest::qWaitFor([&] { return !s.controller.popoverVisible(); }, 500));
        s.controller.showPopover();
        s.app.preferences.setKeepPanelOpen(true);
        s.controller.panelLostFocus();
        QVERIFY(s.controller.popoverVisible());
        s.app.preferences.setKeepPanelOpen(false);
    }

    void popoverAndAlertInQml()
    {
        Shell s;
        s.app.exposeToQml(&s.controller);
        QQmlApplicationEngine engine;
        LogCapture log;
        engine.load(QUrl(QStringLiteral("qrc:/Kavo/Ui/Main.qml")));
        QVERIFY2(!engine.rootObjects().isEmpty(), qPrintable(log.lines().join('\n')));

        QQuickWindow *popover = window(engine, "popover");
        QVERIFY(popover && !popover->isVisible());
        s.controller.showPopover();
        QVERIFY(popover->isVisible());
        // A fixed size makes tiling compositors float the panel instead of tiling it.
        QCOMPARE(popover->minimumSize(), QSize(320, 400));
        QCOMPARE(popover->maximumSize(), QSize(320, 400));
        QVERIFY(popover->flags().testFlag(Qt::FramelessWindowHint)); // as a window, framed: tst_desktop
        const auto item = [&](const char *name) { return popover->findChild<QQuickItem *>(name); };

        // Signed in, nothing yet: the dashboard pill, the design row, the drop hint.
        QVERIFY(item("dashboardPill")->isVisible());
        QCOMPARE(item("designName")->property("text").toString(), QStringLiteral("Default"));
        QVERIFY(texts(popover->contentItem()).contains("Drop files here"));
        QMetaObject::invokeMethod(item("dashboardPill"), "clicked");
        QCOMPARE(s.opened, QList<QUrl>{Endpoints::join(s.server.url(), "dashboard/")});

        // A file that can't be read: its row says why; with no history there is no "Recent".
        s.controller.handleDrop({QUrl::fromLocalFile(s.folder.filePath("missing.pdf"))});
        QVERIFY(QTest::qWaitFor(
            [&] { return !s.app.uploads->jobs().isEmpty() && s.app.uploads->jobs().first().state == UploadJob::State::Failed; }, 3000));
        QVERIFY(QTest::qWaitFor(
            [&] { return !texts(popover->contentItem()).filter(QRegularExpression("^Couldn't read source: missing.pdf — ")).isEmpty(); },
            1000));
        QVERIFY(!texts(popover->contentItem()).contains("Drop files here"));
        QVERIFY(!texts(popover->contentItem()).contains("RECENT"));
        QCOMPARE(findItem(popover->contentItem(), "uploadStage")->property("text").toString(), QStringLiteral("Failed"));
        QVERIFY(!findItem(popover->contentItem(), "uploadCopy")->isVisible());
        // Trying again makes the drop anew in the row's place; it fails the same way.
        const QUuid failed = s.app.uploads->jobs().first().id;
        QVERIFY(findItem(popover->contentItem(), "uploadRetry")->isVisible());
        QMetaObject::invokeMethod(findItem(popover->contentItem(), "uploadRetry"), "clicked");
        QCOMPARE(s.app.uploads->jobs().size(), 1);
        QVERIFY(s.app.uploads->jobs().first().id != failed);
        QVERIFY(QTest::qWaitFor([&] { return s.app.uploads->jobs().first().state == UploadJob::State::Failed; }, 3000));

        // A past link: its summary, and its copy button puts the page's address on the clipboard.
        s.server.route("GET", "/api/history.php", Response::json(200, protectedReport));
        awaitTask(s.app.history.refresh(15));
        QVERIFY(QTest::qWaitFor([&] { return texts(popover->contentItem()).contains("RECENT"); }, 1000));
        QVERIFY(texts(popover->contentItem()).contains("2.0 KB · 1 download · password"));
        QMetaObject::invokeMethod(findItem(popover->contentItem(), "copyButton"), "clicked");
        QCOMPARE(s.clipboard.texts, QStringList{QStringLiteral("http://k/l/t1")});

        // Dismissing the upload row takes the job away.
        QMetaObject::invokeMethod(findItem(popover->contentItem(), "uploadRemove"), "clicked");
        QVERIFY(s.app.uploads->jobs().isEmpty());

        // A job that waits counts the time down, says when it waits for the network, and shows
        // its progress again once it goes on.
        UploadJob waiting = UploadJob::forDrop({QUrl::fromLocalFile(s.folder.filePath("big.iso"))});
        waiting.state = UploadJob::State::Uploading;
        waiting.progress = 0.4;
        waiting.waitingUntil = QDateTime::currentDateTimeUtc().addMSecs(2500);
        s.app.uploads->uploads()->prepend(waiting);
        const auto stage = [&] { return findItem(popover->contentItem(), "uploadStage")->property("text").toString(); };
        // The seconds left, or -1 (a busy machine may skip a second, never count up).
        const auto secondsLeft = [&] {
            const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("^Waiting to retry… (\\d) s$")).match(stage());
            return m.hasMatch() ? m.captured(1).toInt() : -1;
        };
        QTRY_VERIFY_WITH_TIMEOUT(secondsLeft() >= 0, 1000);
        const int first = secondsLeft();
        QVERIFY2(first == 2 || first == 3, qPrintable(stage()));
        QTRY_VERIFY_WITH_TIMEOUT(secondsLeft() >= 0 && secondsLeft() < first, 3000);
        s.app.uploads->uploads()->update(waiting.id, [](UploadJob &job) {
            job.waitingUntil = QDateTime::currentDateTimeUtc().addSecs(30);
            job.waitingForNetwork = true;
        });
        // 30 s, or a little less on a machine too busy to draw the row at once.
        QTRY_VERIFY_WITH_TIMEOUT(
            QRegularExpression(QStringLiteral("^Waiting for the network… next try in (30|2\\d) s$")).match(stage()).hasMatch(), 1000);
        s.app.uploads->uploads()->update(waiting.id, [](UploadJob &job) {
            job.waitingUntil.reset();
            job.waitingForNetwork = false;
        });
        QCOMPARE(stage(), QStringLiteral("Uploading… 40%"));
        s.app.uploads->uploads()->remove(waiting.id);

        // The theme toggle names the other theme and switches to it.
        QCOMPARE(item("themeSymbol")->property("name").toString(), QStringLiteral("sun.max.fill"));
        QMetaObject::invokeMethod(item("themeToggle"), "clicked");
        QVERIFY(s.app.theme.isDark());
        QCOMPARE(item("themeSymbol")->property("name").toString(), QStringLiteral("moon.fill"));

        // Signed out: the sign-in panel, whatever the lists hold, and no pill.
        s.app.account.signOut();
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
        s.app.account.signIn(newKey, QStringLiteral("ann@example.com"), std::nullopt);
        QCOMPARE(setting("accountTitle"), QStringLiteral("Signed in"));
        QCOMPARE(setting("accountDetail"), QStringLiteral("ann@example.com"));
        for (const auto &[days, text] :
             {std::pair{7, "7 days"}, std::pair{0, "Never"}, std::pair{45, "45 days"}, std::pair{365, "1 year"}}) {
            s.app.preferences.setExpiryDays(days);
            QCOMPARE(label("expiryMenu"), QString::fromUtf8(text));
        }
        QCOMPARE(label("providerMenu"), QStringLiteral("Google Drive"));
        s.app.preferences.setSelectedProviderRaw("dropbox");
        QCOMPARE(label("providerMenu"), QStringLiteral("Dropbox"));
        QCOMPARE(setting("providerStatus"), QStringLiteral("Not signed in"));
        QSignalSpy ended(&s.controller, &AppController::dropboxSignInEnded);
        QMetaObject::invokeMethod(findItem(settings->contentItem(), "providerSignIn"), "clicked");
        QVERIFY(ended.wait(1000) || !ended.isEmpty());
        QCOMPARE(ended.first().first().toString(), QStringLiteral("Dropbox sign-in was cancelled."));
        QVERIFY(texts(settings->contentItem()).contains("Dropbox sign-in was cancelled."));

        // Text from outside is shown as it is: markup in a setup link's e-mail is not rendered and
        // fetches nothing.
        s.server.clearLog();
        const QString markup = "<img src=\"" + s.server.url().toString() + "/x\">";
        Q_EMIT s.controller.alert("Signed in", markup);
        QQuickWindow *alert = window(engine, "alertWindow");
        QVERIFY(alert && alert->isVisible());
        QCOMPARE(alert->transientParent(), settings); // a dialog of the window the user is in
        QCOMPARE(alert->minimumSize(), alert->maximumSize());
        QCOMPARE(alert->findChild<QQuickItem *>("alertTitle")->property("text").toString(), QStringLiteral("Signed in"));
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("text").toString(), markup);
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("textFormat").toInt(),
                 0 /* Text.PlainText; AutoText would render it */);
        QTest::qWait(300);
        QVERIFY(s.server.requests("GET", "/x").isEmpty());
        alert->close();
        settings->close();
        s.controller.showPopover();
        Q_EMIT s.controller.alert("Signed in", "Kavo is now signed in and ready to upload.");
        QCOMPARE(alert->transientParent(), popover);
        alert->close();

        s.controller.setPopoverVisible(false);
        QVERIFY(!popover->isVisible());
        QVERIFY2(log.linesContaining("qrc:/").isEmpty(), qPrintable(log.lines().join('\n')));
    }

    void dialogsAndErrorsSurviveReloads()
    {
        Shell s;
        s.server.route("GET", "/api/history.php", Response::json(200, historyJson({{"t1", "report.pdf", 0}, {"t2", "b.pdf", 0}})));
        Ui ui(s);
        s.controller.showPopover();
        QVERIFY(QTest::qWaitFor([&] { return ui.item("historyRow-t2"); }, 2000));
        const QPointer<QQuickItem> row = ui.item("historyRow-t1");

        // A failed action leaves its error under the row.
        s.server.route("POST", "/api/set_expiry.php", Response::json(500, "{\"error\":\"Database is read-only.\"}"));
        ui.s.app.links->setExpiry("t1", 7);
        QVERIFY(QTest::qWaitFor([&] { return findItem(row, "historyError")->isVisible(); }, 2000));
        const QString error = findItem(row, "historyError")->property("text").toString();
        QVERIFY2(error.contains("Database is read-only."), qPrintable(error));

        // The same reload, one that changes the other row, one that adds a row above.
        const QList<QByteArray> reloads{historyJson({{"t1", "report.pdf", 0}, {"t2", "b.pdf", 0}}),
                                        historyJson({{"t1", "report.pdf", 0}, {"t2", "b.pdf", 4}}),
                                        historyJson({{"t0", "new.pdf", 0}, {"t1", "report.pdf", 0}, {"t2", "b.pdf", 4}})};

        // The rename dialog, with what was typed in it.
        QMetaObject::invokeMethod(row, "openRename");
        QObject *rename = ui.popup("renameDialog");
        QVERIFY(QTest::qWaitFor([&] { return rename->property("opened").toBool(); }, 1000));
        QQuickItem *field = ui.popover->findChild<QQuickItem *>("renameField");
        QCOMPARE(field->property("text").toString(), QStringLiteral("report.pdf"));
        field->forceActiveFocus();
        QTest::keyClick(ui.popover, Qt::Key_End);
        type(ui.popover, " v2");
        QCOMPARE(field->property("text").toString(), QStringLiteral("report.pdf v2"));
        for (const QByteArray &history : reloads) {
            ui.reload(history);
            QVERIFY2(row, "the row's delegate was rebuilt");
            QVERIFY(rename->property("opened").toBool());
            QCOMPARE(field->property("text").toString(), QStringLiteral("report.pdf v2"));
            QCOMPARE(findItem(row, "historyError")->property("text").toString(), error);
            QVERIFY(findItem(row, "historyError")->isVisible());
        }
        QCOMPARE(ui.item("historyRow-t2")->property("y").toReal() > row->property("y").toReal(), true);
        QMetaObject::invokeMethod(rename, "close");

        // The send sheet the same way.
        QMetaObject::invokeMethod(row, "openSend");
        QObject *send = ui.popup("sendSheet");
        QVERIFY(QTest::qWaitFor([&] { return send->property("opened").toBool(); }, 1000));
        QQuickItem *address = ui.popover->findChild<QQuickItem *>("sendAddress");
        type(ui.popover, "ann@example.com");
        QCOMPARE(address->property("text").toString(), QStringLiteral("ann@example.com"));
        for (const QByteArray &history : {reloads.at(1), reloads.at(0), reloads.at(2)}) {
            ui.reload(history);
            QVERIFY2(row, "the row's delegate was rebuilt");
            QVERIFY(send->property("opened").toBool());
            QCOMPARE(address->property("text").toString(), QStringLiteral("ann@example.com"));
        }
        // A later success of the same link clears its error line.
        s.server.route("POST", "/api/set_expiry.php", Response::json(200, "{\"expires_at\":null}"));
        ui.s.app.links->setExpiry("t1", 0);
        QVERIFY(QTest::qWaitFor([&] { return !findItem(row, "historyError")->isVisible(); }, 2000));
    }

    // The search field: a request once typing pauses (never one per key, reloads included), its
    // matches in place of the list, an answer to an older query dropped, a state for no matches,
    // and the recent links back when it is cleared.
    void searchReplacesTheListUntilCleared()
    {
        Shell s;
        const QByteArray recent = historyJson({{"t1", "report.pdf", 0}, {"t2", "b.pdf", 0}, {"t3", "notes.txt", 0}});
        s.server.route("GET", "/api/history.php", Response::json(200, recent));
        Ui ui(s);
        s.controller.showPopover();
        QVERIFY(QTest::qWaitFor([&] { return ui.item("historyRow-t3"); }, 2000));
        QQuickItem *field = ui.item("historySearch");
        QVERIFY(field && field->isVisible());
        const auto queries = [&s] {
            QStringList sent;
            for (const FakeServer::Request &r : s.server.requests("GET", "/api/history.php"))
                if (r.rawQuery.contains("&q="))
                    sent.append(QString::fromUtf8(r.rawQuery));
            sent.removeDuplicates();
            return sent;
        };
        const auto rows = [&ui] {
            QStringList shown;
            for (QQuickItem *item : allItems(ui.popover->contentItem()))
                if (item->objectName().startsWith("historyRow-") && item->isVisible())
                    shown.append(item->objectName().mid(11));
            return shown;
        };

        // An answer to "re" that comes late, after the query has become "rep".
        s.server.route("GET", "/api/history.php", Response::delayed(1200, Response::json(200, historyJson({{"t9", "old.pdf", 0}}))));
        field->forceActiveFocus();
        type(ui.popover, "r");
        QTest::qWait(100); // a pause well short of the search's 300 ms (a loaded machine adds to it)
        type(ui.popover, "e");
        QVERIFY(QTest::qWaitFor([&] { return !queries().isEmpty(); }, 2000));
        s.server.route("GET", "/api/history.php", Response::json(200, historyJson({{"t1", "report.pdf", 0}})));
        type(ui.popover, "p");
        QTest::qWait(50);
        QVERIFY(!ui.item("searchError")->isVisible()); // the cancelled request is no failure
        QVERIFY(QTest::qWaitFor([&] { return rows() == QStringList{"t1"}; }, 2000));
        QTest::qWait(1500); // the late answer has come and gone
        QCOMPARE(rows(), QStringList{"t1"});
        QCOMPARE(queries(), (QStringList{"limit=50&q=re", "limit=50&q=rep"}));
        QVERIFY(texts(ui.popover->contentItem()).contains("MATCHING"));

        s.server.route("GET", "/api/history.php", Response::json(200, "{\"items\":[]}"));
        type(ui.popover, "x");
        QVERIFY(QTest::qWaitFor([&] { return ui.item("noMatches")->isVisible(); }, 2000));
        QCOMPARE(ui.item("noMatches")->property("text").toString(), QString::fromUtf8("No links match \u201crepx\u201d"));
        QTest::qWait(400); // reloads go on, with the query and the typed text kept
        QCOMPARE(field->property("text").toString(), QStringLiteral("repx"));
        QVERIFY(ui.item("noMatches")->isVisible());

        // Cleared while the service cannot answer: the recent links as last loaded, and asked for
        // again (a reload of the search sent just before may still arrive first).
        s.server.route("GET", "/api/history.php", Response::json(503, "{}"));
        s.server.clearLog();
        QTest::keyClick(ui.popover, Qt::Key_Escape);
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QList<FakeServer::Request> asked = s.server.requests("GET", "/api/history.php");
                return std::ranges::any_of(asked, [](const FakeServer::Request &r) { return r.rawQuery == "limit=15"; });
            },
            3000));
        QTest::qWait(100);
        QCOMPARE(rows(), (QStringList{"t1", "t2", "t3"}));
        QCOMPARE(field->property("text").toString(), QString());
        QVERIFY(texts(ui.popover->contentItem()).contains("RECENT"));
        QVERIFY(!ui.item("noMatches")->isVisible());
    }

    void deleteOutcomesOutliveTheRow()
    {
        Shell s;
        s.server.route("GET", "/api/history.php", Response::json(200, historyJson({{"t1", "report.pdf", 0}, {"t2", "b.pdf", 0}})));
        s.server.route("DELETE", "/drive/v3/files/file-t1", Response::json(400, "{}"));
        s.server.route("POST", "/api/delete.php", Response::delayed(300, Response::json(200, "{\"ok\":true}")));
        Ui ui(s);
        s.controller.showPopover();
        QVERIFY(QTest::qWaitFor([&] { return ui.item("historyRow-t1"); }, 2000));
        QQuickWindow *alert = window(ui.engine, "alertWindow");

        // Confirmed twice while the first is in flight: one delete is sent, the row shows it.
        QObject *confirm = ui.popup("deleteDialog");
        for (int press = 0; press < 2; ++press) {
            QMetaObject::invokeMethod(ui.item("historyRow-t1"), "confirmDelete");
            QVERIFY(QTest::qWaitFor([&] { return confirm->property("opened").toBool(); }, 1000));
            QCOMPARE(findItem(ui.popover->contentItem(), "dialogTitle")->property("text").toString(), QStringLiteral("Delete report.pdf?"));
            QMetaObject::invokeMethod(ui.popover->findChild<QObject *>("deleteConfirm"), "clicked");
            QVERIFY(QTest::qWaitFor([&] { return !confirm->property("visible").toBool(); }, 1000));
            QVERIFY(ui.item("historyRow-t1")->property("isDeleting").toBool());
        }
        // As the service does, the reloads (every 150 ms here) no longer list the deleted link.
        s.server.route("GET", "/api/history.php", Response::json(200, historyJson({{"t2", "b.pdf", 0}})));
        QVERIFY(QTest::qWaitFor([&] { return alert->isVisible(); }, 3000));
        QVERIFY(QTest::qWaitFor([&] { return !ui.item("historyRow-t1"); }, 2000)); // the row goes a moment later
        QCOMPARE(alert->findChild<QQuickItem *>("alertTitle")->property("text").toString(), QStringLiteral("Cleanup incomplete"));
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("text").toString(),
                 QStringLiteral("We removed the share link, but Google Drive returned an unexpected response (HTTP 400). You may want to "
                                "remove the file manually from the Vendrel folder in Drive."));
        QTest::qWait(100);
        QCOMPARE(s.server.requests("POST", "/api/delete.php").size(), 1);
        QCOMPARE(s.server.requests("DELETE", "/drive/v3/files/file-t1").size(), 1);
        QMetaObject::invokeMethod(alert->findChild<QObject *>("alertOK"), "clicked");

        // A failure whose row a reload has taken away still reaches the user.
        s.server.route("POST", "/api/delete.php", Response::delayed(200, Response::json(404, "{\"error\":\"No such link.\"}")));
        s.server.route("DELETE", "/drive/v3/files/file-t2", Response{204, {}, {}});
        QMetaObject::invokeMethod(ui.item("historyRow-t2"), "confirmDelete");
        QMetaObject::invokeMethod(ui.popover->findChild<QObject *>("deleteConfirm"), "clicked");
        ui.reload(historyJson({}));
        QVERIFY(QTest::qWaitFor([&] { return alert->isVisible(); }, 3000));
        QCOMPARE(alert->findChild<QQuickItem *>("alertTitle")->property("text").toString(), QStringLiteral("Couldn't delete the link"));
        QCOMPARE(alert->findChild<QQuickItem *>("alertMessage")->property("text").toString(),
                 QStringLiteral("Backend HTTP 404: No such link."));
    }

    // "Upload files…" and paste in the panel: each is one drop, as a drag of the same files.
    void otherWaysInAreOneDropEach()
    {
        Shell s;
        Ui ui(s);
        s.controller.showPopover();
        const QList<QUrl> two{QUrl::fromLocalFile(s.folder.filePath("a b.txt")), QUrl::fromLocalFile(s.folder.filePath("c.pdf"))};

        // The footer's menu asks for files; the two picked are one upload.
        s.chosen = two;
        QMetaObject::invokeMethod(ui.item("uploadFiles"), "clicked");
        QObject *menu = ui.popup("uploadMenu");
        QVERIFY(QTest::qWaitFor([&] { return menu->property("opened").toBool(); }, 1000));
        QMetaObject::invokeMethod(ui.popover->findChild<QObject *>("uploadChooseFiles"), "triggered");
        QCOMPARE(s.chooserAsked, QStringList{"files"});
        QCOMPARE(s.app.uploads->jobs().size(), 1);
        QCOMPARE(s.app.uploads->jobs().first().sourceURLs, two);
        // A folder; and a cancelled chooser uploads nothing.
        s.chosen = {QUrl::fromLocalFile(s.folder.filePath("Trip"))}; // missing: the queue gets no further than reading it
        s.controller.chooseFilesToUpload(true);
        s.chosen = {};
        s.controller.chooseFilesToUpload(false);
        QCOMPARE(s.chooserAsked, (QStringList{"files", "folder", "files"}));
        QCOMPARE(s.app.uploads->jobs().size(), 2);

        // Ctrl+V in the panel with files a file manager copied, in either of the two formats.
        ui.popover->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(ui.popover));
        auto *copied = new QMimeData;
        copied->setData("x-special/gnome-copied-files", "copy\n" + two[0].toEncoded() + "\n" + two[1].toEncoded());
        QGuiApplication::clipboard()->setMimeData(copied);
        QTest::keyClick(ui.popover, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(s.app.uploads->jobs().size(), 3);
        QCOMPARE(s.app.uploads->jobs().first().sourceURLs, two);
        QGuiApplication::clipboard()->setText("/etc/passwd"); // text is not a file
        QTest::keyClick(ui.popover, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(s.app.uploads->jobs().size(), 3);
        auto *uriList = new QMimeData;
        uriList->setUrls({two[1]});
        QGuiApplication::clipboard()->setMimeData(uriList);
        QTest::keyClick(ui.popover, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(s.app.uploads->jobs().size(), 4);
        QCOMPARE(s.app.uploads->jobs().first().sourceURLs, QList<QUrl>{two[1]});
    }

    void popoverOpensUnderTheTrayIcon()
    {
        // Under an icon in a top panel, over one in a bottom panel, always inside the screen (the
        // panel opened on a real tray: tst_desktop).
        const QRect screen(0, 0, 1280, 800);
        const QSize size = AppController::popoverSize;
        QCOMPARE(AppController::placePopover(QRect(600, 2, 24, 24), size, screen), QPoint(452, 30));
        QCOMPARE(AppController::placePopover(QRect(1256, 2, 24, 24), size, screen), QPoint(960, 30));
        QCOMPARE(AppController::placePopover(QRect(10, 772, 24, 24), size, screen), QPoint(0, 368));
        QCOMPARE(AppController::placePopover(QRect(1900, 30, 24, 24), size, QRect(1280, 28, 1920, 1052)), QPoint(1752, 58));
    }

    void pendingSignInsCancel()
    {
        Shell s;
        Ui ui(s);
        s.controller.showSettings();
        QQuickWindow *settings = window(ui.engine, "settingsWindow");
        const auto item = [&](const char *name) { return findItem(settings->contentItem(), name); };
        QSignalSpy ended(&s.controller, &AppController::dropboxSignInEnded);
        s.refusingDropbox.waits = true;
        for (const QString provider : {"google", "dropbox"}) {
            s.app.preferences.setSelectedProviderRaw(provider);
            QMetaObject::invokeMethod(item("providerSignIn"), "clicked");
            QVERIFY(provider == "google" ? s.controller.googleSignInPending() : s.controller.dropboxSignInPending());
            // Waiting: a spinner in the button, which takes no press but is not dimmed as if it
            // were unavailable, and a way out.
            QVERIFY(!item("providerSignIn")->isEnabled());
            QCOMPARE(item("providerSignIn")->opacity(), 1.0);
            QVERIFY(findItem(item("providerSignIn"), "signInSpinner")->isVisible());
            QVERIFY(item("providerCancel")->isVisible());
            QMetaObject::invokeMethod(item("providerSignIn"), "clicked"); // a second press starts nothing
            QMetaObject::invokeMethod(item("providerCancel"), "clicked");
            QVERIFY(QTest::qWaitFor([&] { return !s.controller.googleSignInPending() && !s.controller.dropboxSignInPending(); }, 500));
            QVERIFY(!item("providerCancel")->isVisible());
            QVERIFY(item("providerSignIn")->isEnabled());
            QVERIFY(!texts(settings->contentItem()).contains("Dropbox sign-in was cancelled."));
        }
        // The cancelled Dropbox sign-in ended once, reporting nothing.
        QCOMPARE(ended.size(), 1);
        QCOMPARE(ended.first().first().toString(), QString());
    }

    void successFlashOutlastsTheLastSuccess()
    {
        Shell s;
        s.controller.launch();
        QElapsedTimer clock;
        clock.start();
        Q_EMIT s.app.uploads->jobFinished(QUuid::createUuid(), true);
        QCOMPARE(s.controller.iconState(), AppController::IconState::success);
        QTest::qWait(500);
        Q_EMIT s.app.uploads->jobFinished(QUuid::createUuid(), true);
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
};

QTEST_MAIN(TestAppController)
#include "tst_appcontroller.moc"
