// Kavo on a desktop of the test's own (Xvfb, openbox, trayer) against kavo-devstack: files are
// dragged from another application, which takes the focus when pressed as a file manager does,
// with a real XDND drag driven by the pointer; and the panel without a tray.

#include "demo.h"
#include "xsession.h"

namespace {

// The tray icon's highlighted colour (the drop target's look).
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool showsHighlight(const QImage &shot, const QRect &icon)
{
    for (int y = icon.top(); y <= icon.bottom(); ++y)
        for (int x = icon.left(); x <= icon.right(); ++x) {
            const QColor c = shot.pixelColor(x, y);
            if (qAbs(c.red() - 46) < 12 && qAbs(c.green() - 213) < 12 && c.blue() > 240)
                return true;
        }
    return false;
}

// A home with kavo signed in to Google, the devstack, and a desktop.
struct Desk {
    Demo demo;
    XSession x;
    QProcess *kavo = nullptr;
    QProcess *source = nullptr;
    QRect icon;

    QProcessEnvironment kavoEnvironment()
    {
        QProcessEnvironment env = demo.environment("exit 1\n");
        const QProcessEnvironment desktop = x.environment();
        // The desktop's display and its own session bus (never one libdbus would start).
        for (const char *variable : {"DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
            env.insert(variable, desktop.value(variable));
        return env;
    }
    bool startKavo()
    {
        kavo = x.launch(KAVO_BINARY, {}, kavoEnvironment());
        return QTest::qWaitFor([&] { return QFile::exists(demo.path("runtime/kavo.socket")); }, 20000);
    }
    // Kavo's icon docked in trayer, once trayer has laid it out (it moves as the tray grows).
    bool findIcon()
    {
        QRect seen;
        return QTest::qWaitFor(
            [&] {
                seen = icon;
                QTest::qWait(250);
                icon = x.findWindow(QRegularExpression("\"kavo\": \\(\"kavo\" \"kavo\"\\)"), 64);
                return !icon.isEmpty() && icon.x() > 1000 && icon == seen;
            },
            10000);
    }
    // The stand-in file manager with two files and a folder.
    bool startSource()
    {
        writeFile(demo.path("files/notes.txt"), "notes\n");
        writeFile(demo.path("files/photo.jpg"), pattern(50000, 7));
        writeTree(demo.path("files/Trip"));
        source = x.launch(KAVO_TEST_DRAGSOURCE, {demo.path("files/notes.txt"), demo.path("files/photo.jpg"), demo.path("files/Trip")});
        return source->waitForReadyRead(10000) && source->readLine() == "ready\n"
            && QTest::qWaitFor([&] { return !x.visibleWindow("Drag source").isEmpty(); }, 10000);
    }
    // trayer, Kavo with its icon in it, and the stand-in file manager.
    bool startInTheTray() { return x.startTray() && startKavo() && findIcon() && startSource(); }
    void clickIcon() const
    {
        x.xdotool({"mousemove", QString::number(icon.center().x()), QString::number(icon.center().y()), "click", "1"});
    }
    QString panel() const { return x.visibleWindow("Kavo"); }
    // Presses in the source (which takes the focus) and drags until the drag is under way.
    QPoint pressAndStartDrag()
    {
        const QRect window = x.geometry(x.visibleWindow("Drag source"));
        const QPoint start = window.center();
        x.xdotool({"mousemove", QString::number(start.x()), QString::number(start.y())});
        x.xdotool({"mousedown", "1"});
        QTest::qWait(200);
        const QPoint away = start + QPoint(60, -40);
        x.glide(start, away, 4);
        return away;
    }
    // The one link made from the drop: a zip of the three items.
    bool deliveredTheThreeAsOneZip(int before)
    {
        if (!QTest::qWaitFor([&] { return awaitTask(demo.api.fetchHistory(100))->size() > before; }, 60000))
            return false;
        QTest::qWait(1500); // a second link would come now
        const QList<HistoryItem> all = awaitTask(demo.api.fetchHistory(100)).value();
        if (all.size() != before + 1 || !all.first().filename.endsWith(" - 3 files.zip")) {
            qWarning() << "links:" << all.size() << all.first().filename;
            return false;
        }
        QTemporaryDir out;
        writeFile(out.filePath("got.zip"), demo.download(all.first().token)->body);
        runTool("/usr/bin/unzip", {"-q", out.filePath("got.zip"), "-d", out.filePath("tree")});
        return Demo::tree(out.filePath("tree")).contains("Trip/readme.txt") && readFile(out.filePath("tree/notes.txt")) == "notes\n"
            && readFile(out.filePath("tree/photo.jpg")) == pattern(50000, 7);
    }
};

#define START_DESK(desk)                                                                           \
    do {                                                                                           \
        const QStringList missing = XSession::missingPrograms();                                   \
        QVERIFY2(missing.isEmpty(), qPrintable("not installed (scripts/install-deps): " + missing.join(", "))); \
        START_DEVSTACK((desk).demo);                                                               \
        QVERIFY((desk).demo.signIn(googleBrowser));                                                \
        QVERIFY2((desk).x.start(), "Xvfb and openbox did not start");                              \
    } while (false)

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // The panel is closed; a drag of two files and a folder starts in a window that has the
    // focus, passes over the tray icon (which lights) to the panel that showed for it, and is
    // released there: one zip, one link. A drag that ends elsewhere leaves no panel behind.
    void dragFromAnotherApplicationToTheTrayPanel()
    {
        Desk desk;
        START_DESK(desk);
        QVERIFY(desk.startInTheTray());
        QVERIFY(desk.panel().isEmpty());
        const int before = awaitTask(desk.demo.api.fetchHistory(100))->size();

        QPoint at = desk.pressAndStartDrag();
        const QString sourceWindow = desk.x.visibleWindow("Drag source");
        QCOMPARE(desk.x.activeWindow(), sourceWindow); // the press gave it the focus
        QVERIFY2(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 3000), "no panel for the drag");
        QCOMPARE(desk.x.activeWindow(), sourceWindow); // the panel took no focus
        const QRect panel = desk.x.geometry(desk.panel());
        QCOMPARE(panel.size(), QSize(320, 400));
        QVERIFY2(panel.top() >= desk.icon.bottom() && qAbs(panel.center().x() - desk.icon.center().x()) < 170, "not under the icon");

        // Over the tray icon: it lights.
        desk.x.glide(at, desk.icon.center());
        at = desk.icon.center();
        QVERIFY(QTest::qWaitFor([&] { return showsHighlight(desk.x.screenshot(desk.demo.path("over-icon.png")), desk.icon); }, 2000));
        // Onto the panel, and released.
        desk.x.glide(at, panel.center());
        QTest::qWait(300);
        QVERIFY(!desk.panel().isEmpty());
        desk.x.xdotool({"mouseup", "1"});
        QVERIFY(desk.source->waitForReadyRead(5000));
        QCOMPARE(desk.source->readLine(), "drag copied\n");
        QVERIFY(desk.deliveredTheThreeAsOneZip(before));
        QVERIFY(!desk.panel().isEmpty()); // the panel the drop opened shows the upload

        // Closed with a click elsewhere; a drag that ends on the desktop leaves it closed.
        desk.x.xdotool({"mousemove", "600", "700", "click", "1"});
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        at = desk.pressAndStartDrag();
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 3000));
        desk.x.glide(at, QPoint(700, 700));
        desk.x.xdotool({"mouseup", "1"});
        QVERIFY(desk.source->waitForReadyRead(5000));
        QCOMPARE(desk.source->readLine(), "drag ignored\n");
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        QCOMPARE(awaitTask(desk.demo.api.fetchHistory(100))->size(), before + 1);

        // Text dragged from a window: the panel refuses it over the panel's place and the icon stays dark.
        desk.source->terminate();
        desk.source->waitForFinished(3000);
        desk.source = desk.x.launch(KAVO_TEST_DRAGSOURCE, {"--text", "just words"});
        QVERIFY(desk.source->waitForReadyRead(10000) && desk.source->readLine() == "ready\n");
        QVERIFY(QTest::qWaitFor([&] { return !desk.x.visibleWindow("Drag source").isEmpty(); }, 10000));
        at = desk.pressAndStartDrag();
        desk.x.glide(at, desk.icon.center());
        QTest::qWait(300);
        QVERIFY(!showsHighlight(desk.x.screenshot(desk.demo.path("text-over-icon.png")), desk.icon));
        desk.x.glide(desk.icon.center(), panel.center());
        QTest::qWait(300);
        desk.x.xdotool({"mouseup", "1"});
        QVERIFY(desk.source->waitForReadyRead(5000));
        QCOMPARE(desk.source->readLine(), "drag ignored\n");
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        QTest::qWait(1000);
        QCOMPARE(awaitTask(desk.demo.api.fetchHistory(100))->size(), before + 1);
    }

    // The panel is open (a click on the tray icon) when the user presses on a file in another
    // window: that press takes the focus, yet the panel stays for the drag and takes the drop.
    void dragToAPanelThatWasOpen()
    {
        Desk desk;
        START_DESK(desk);
        QVERIFY(desk.startInTheTray());
        const int before = awaitTask(desk.demo.api.fetchHistory(100))->size();

        desk.clickIcon();
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty() && desk.x.activeWindow() == desk.panel(); }, 3000));
        const QString panelWindow = desk.panel();
        QPoint at = desk.pressAndStartDrag();
        QCOMPARE(desk.x.activeWindow(), desk.x.visibleWindow("Drag source"));
        QTest::qWait(300);
        QCOMPARE(desk.panel(), panelWindow); // still open
        desk.x.glide(at, desk.x.geometry(panelWindow).center());
        QTest::qWait(300);
        desk.x.xdotool({"mouseup", "1"});
        QVERIFY(desk.source->waitForReadyRead(5000));
        QCOMPARE(desk.source->readLine(), "drag copied\n");
        QVERIFY(desk.deliveredTheThreeAsOneZip(before));

        // Released on the tray icon itself (an XEmbed icon is a window of Kavo's): a drop too.
        desk.x.xdotool({"mousemove", "600", "700", "click", "1"});
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        at = desk.pressAndStartDrag();
        desk.x.glide(at, desk.icon.center());
        QTest::qWait(300);
        desk.x.xdotool({"mouseup", "1"});
        QVERIFY(desk.source->waitForReadyRead(5000));
        QCOMPARE(desk.source->readLine(), "drag copied\n");
        QVERIFY(desk.deliveredTheThreeAsOneZip(before + 1));
        QVERIFY(!desk.panel().isEmpty());
    }

    // The pin, pressed with the mouse: the panel stays when another window is clicked, moves by
    // its header, and is open again, still pinned, after a restart.
    void pinnedPanelStaysAndIsRemembered()
    {
        Desk desk;
        START_DESK(desk);
        QVERIFY(desk.startInTheTray());
        desk.clickIcon();
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 3000));
        const QString panelWindow = desk.panel();
        const QRect panel = desk.x.geometry(panelWindow);
        const QPoint pin = panel.topLeft() + QPoint(267, 23);
        desk.x.xdotool({"mousemove", QString::number(pin.x()), QString::number(pin.y()), "click", "1"});
        QVERIFY(QTest::qWaitFor([&] { return readFile(desk.demo.path("config/kavo/defaults.json")).contains("\"panel.keepOpen\": true"); }, 2000));

        const QRect source = desk.x.geometry(desk.x.visibleWindow("Drag source"));
        desk.x.xdotool({"mousemove", QString::number(source.center().x()), QString::number(source.center().y()), "click", "1"});
        QVERIFY(QTest::qWaitFor([&] { return desk.x.activeWindow() == desk.x.visibleWindow("Drag source"); }, 2000));
        QTest::qWait(400);
        QCOMPARE(desk.panel(), panelWindow);
        desk.x.screenshot(desk.demo.path("pinned.png"));

        // Its header moves it by as much as the pointer moved, as a title bar would, and no
        // further once the button is up.
        const QPoint grip = panel.topLeft() + QPoint(70, 20); // between the logo and the pill
        desk.x.xdotool({"mousemove", QString::number(grip.x()), QString::number(grip.y()), "mousedown", "1"});
        desk.x.glide(grip, grip + QPoint(-300, 150), 12);
        QTest::qWait(200);
        desk.x.xdotool({"mouseup", "1"});
        QVERIFY(QTest::qWaitFor([&] { return desk.x.geometry(panelWindow).topLeft() == panel.topLeft() + QPoint(-300, 150); }, 3000));
        desk.x.glide(grip + QPoint(-300, 150), QPoint(700, 700), 4);
        QTest::qWait(300);
        QCOMPARE(desk.x.geometry(panelWindow).topLeft(), panel.topLeft() + QPoint(-300, 150));

        // A restart brings it back open.
        desk.kavo->terminate();
        QVERIFY(desk.kavo->waitForFinished(10000));
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        QFile::remove(desk.demo.path("runtime/kavo.socket"));
        QVERIFY(desk.startKavo());
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 10000));
        QTest::qWait(300);
        QCOMPARE(desk.x.geometry(desk.panel()).topLeft(), panel.topLeft()); // under the icon again
        desk.x.xdotool({"mousemove", QString::number(source.center().x()), QString::number(source.center().y()), "click", "1"});
        QTest::qWait(400);
        QVERIFY(!desk.panel().isEmpty());
    }

    // No tray: the panel is an ordinary window with the window manager's frame; closing it
    // keeps Kavo running and `kavo` brings it back; a tray that arrives takes the panel back
    // under its icon.
    void withoutATrayThePanelIsAWindow()
    {
        Desk desk;
        START_DESK(desk);
        QVERIFY(desk.startKavo());
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 10000));
        const QString window = desk.panel();
        QVERIFY2(desk.x.property(window, "_NET_WM_WINDOW_TYPE").endsWith("_NET_WM_WINDOW_TYPE_NORMAL"),
                 qPrintable(desk.x.property(window, "_NET_WM_WINDOW_TYPE")));
        // openbox framed it: a title bar above, and the usual decorations.
        const QString extents = desk.x.property(window, "_NET_FRAME_EXTENTS");
        const QRegularExpressionMatch frame = QRegularExpression("= (\\d+), (\\d+), (\\d+), (\\d+)").match(extents);
        QVERIFY2(frame.hasMatch() && frame.captured(3).toInt() >= 10, qPrintable(extents));
        QCOMPARE(desk.x.geometry(window).size(), QSize(320, 400));
        desk.x.screenshot(desk.demo.path("no-tray.png"));

        desk.x.xdotool({"windowactivate", "--sync", window});
        desk.x.xdotool({"key", "alt+F4"}); // openbox's close
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        QTest::qWait(300);
        QCOMPARE(desk.kavo->state(), QProcess::Running);
        QProcess again;
        again.setProcessEnvironment(desk.kavoEnvironment());
        again.start(KAVO_BINARY, {});
        QVERIFY(again.waitForFinished(10000));
        QCOMPARE(again.exitCode(), 0);
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 3000));
        // Minimised, it comes back the same way.
        desk.x.xdotool({"windowminimize", "--sync", desk.panel()});
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        again.start(KAVO_BINARY, {});
        QVERIFY(again.waitForFinished(10000));
        QCOMPARE(again.exitCode(), 0);
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 3000));

        QVERIFY(desk.x.startTray());
        QVERIFY(desk.findIcon());
        QVERIFY(QTest::qWaitFor([&] { return desk.panel().isEmpty(); }, 3000));
        QTest::qWait(500); // a click just after the panel went would be taken for the one that closed it
        desk.clickIcon();
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty(); }, 3000));
        QVERIFY(desk.x.property(desk.panel(), "_NET_WM_WINDOW_TYPE").contains("_NET_WM_WINDOW_TYPE_UTILITY"));

        // The tray goes away again (its panel quit): the window is back, framed.
        desk.x.processes.back()->kill(); // trayer, the last one started
        QVERIFY(QTest::qWaitFor([&] { return !desk.panel().isEmpty()
                                        && desk.x.property(desk.panel(), "_NET_WM_WINDOW_TYPE").endsWith("_NET_WM_WINDOW_TYPE_NORMAL"); },
                                5000));
    }
};

QTEST_GUILESS_MAIN(TestDesktop)
#include "tst_desktop.moc"
