#pragma once

// A desktop of the tests' own: Xvfb on a free display, openbox (which gives focus on click, as
// every desktop does) and, when asked, trayer as the XEmbed tray at the top right. Pointer and
// keys go through xdotool (XTest), as a user's would; windows are found by their titles.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "desktopprocesses.h"

struct XSession : DesktopProcesses {
    QString display;
    QString bus; // the session bus of this desktop
    QTemporaryDir home;

    // Programs this session needs that the machine lacks (scripts/install-deps installs them).
    static QStringList missingPrograms()
    {
        QStringList missing;
        for (const char *program : {"Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xprop", "dbus-daemon", "import"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                missing.append(QString::fromLatin1(program));
        return missing;
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY"})
            env.remove(QString::fromLatin1(variable));
        env.insert("DISPLAY", display);
        // A bus of its own: without one, libdbus would start one from the machine's session
        // configuration for the display, and with it whatever secret service is installed.
        if (!bus.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        env.insert("HOME", home.path()); // openbox's own defaults, not a user's rc.xml
        env.insert("QT_QPA_PLATFORM", "xcb");
        return env;
    }
    QProcess *launch(const QString &program, const QStringList &arguments, QProcessEnvironment env = {})
    {
        return spawn(program, arguments, env.isEmpty() ? environment() : env,
                     program == QLatin1String("openbox") ? QProcess::MergedChannels : QProcess::ForwardedErrorChannel);
    }
    // A private session bus (no installed service is started on it), Xvfb on the first free
    // display from :91 (a display another server takes first is passed over), then openbox;
    // false when they did not come up.
    bool start()
    {
        QProcess *daemon = launch("dbus-daemon", {"--config-file=" KAVO_TEST_SESSION_BUS_CONFIG, "--nofork", "--print-address=1"});
        if (!daemon->waitForReadyRead(10000))
            return false;
        bus = QString::fromLatin1(daemon->readLine()).trimmed();
        for (int number = 91; number < 140 && display.isEmpty(); ++number) {
            const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
            if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) || QFile::exists(socket))
                continue;
            QProcess *xvfb
                = launch("Xvfb", {QStringLiteral(":%1").arg(number), "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
            if (QTest::qWaitFor([&] { return QFile::exists(socket) || xvfb->state() != QProcess::Running; }, 10000)
                && xvfb->state() == QProcess::Running)
                display = QStringLiteral(":%1").arg(number);
        }
        // The socket is there a moment before the server answers on it.
        if (display.isEmpty()
            || !QTest::qWaitFor(
                [&] {
                    return tool("xprop", {"-root", "-len", "0", "_NET_SUPPORTED"}).contains("_NET_SUPPORTED");
                },
                10000))
            return false;
        QProcess *openbox = launch("openbox", {});
        // openbox names itself on the root window once it manages the screen.
        const bool managed = QTest::qWaitFor(
            [&] {
                return openbox->state() == QProcess::Running && tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id");
            },
            15000);
        if (!managed)
            qWarning() << "display" << display << "openbox" << openbox->state() << openbox->exitCode() << openbox->readAll()
                       << tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"});
        return managed;
    }
    // trayer at the top right, as in a panel, in the toolkit's light grey or, given a `tint`
    // ("0x202020"), in that colour; true once it manages the tray selection.
    bool startTray(const QString &tint = {})
    {
        QStringList arguments{"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "28", "--SetDockType", "true"};
        arguments << (tint.isEmpty() ? QStringList{"--transparent", "false"}
                                     : QStringList{"--transparent", "true", "--alpha", "0", "--tint", tint});
        launch("trayer", arguments);
        return QTest::qWaitFor([&] { return !windowTree().filter(QRegularExpression("\"panel\": \\(\"panel\" \"trayer\"\\)")).isEmpty(); },
                               10000);
    }
    QByteArray tool(const QString &program, const QStringList &arguments) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        process.waitForFinished(10000);
        return process.readAllStandardOutput();
    }
    QStringList windowTree() const { return QString::fromUtf8(tool("xwininfo", {"-root", "-tree"})).split('\n'); }
    // The on-screen rectangle of the first window whose line in the tree matches `pattern`, and
    // that is at most `maxWidth` wide; empty when there is none.
    QRect findWindow(const QRegularExpression &pattern, int maxWidth = 10000) const
    {
        static const QRegularExpression geometry(QStringLiteral("\\s(\\d+)x(\\d+)[+-]-?\\d+[+-]-?\\d+\\s+\\+(-?\\d+)\\+(-?\\d+)"));
        for (const QString &line : windowTree()) {
            if (!pattern.match(line).hasMatch())
                continue;
            const QRegularExpressionMatch m = geometry.match(line);
            if (m.hasMatch() && m.captured(1).toInt() <= maxWidth)
                return QRect(m.captured(3).toInt(), m.captured(4).toInt(), m.captured(1).toInt(), m.captured(2).toInt());
        }
        return {};
    }
    // The id of the mapped window with exactly this title, or empty.
    QString visibleWindow(const QString &title) const
    {
        return QString::fromLatin1(tool("xdotool", {"search", "--onlyvisible", "--name", '^' + QRegularExpression::escape(title) + '$'}))
            .section('\n', 0, 0)
            .trimmed();
    }
    QRect geometry(const QString &windowId) const
    {
        const QString out = QString::fromLatin1(tool("xdotool", {"getwindowgeometry", windowId}));
        const QRegularExpressionMatch position = QRegularExpression("Position: (-?\\d+),(-?\\d+)").match(out);
        const QRegularExpressionMatch size = QRegularExpression("Geometry: (\\d+)x(\\d+)").match(out);
        if (!position.hasMatch() || !size.hasMatch())
            return {};
        return QRect(position.captured(1).toInt(), position.captured(2).toInt(), size.captured(1).toInt(), size.captured(2).toInt());
    }
    QString activeWindow() const { return QString::fromLatin1(tool("xdotool", {"getactivewindow"})).trimmed(); }
    void xdotool(const QStringList &arguments) const { tool("xdotool", arguments); }
    void click(QPoint at) const { xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"}); }
    // The pointer moved to `to` in steps, as a hand would move it, with events handled between.
    void glide(QPoint from, QPoint to, int steps = 8) const
    {
        for (int i = 1; i <= steps; ++i) {
            const QPoint at = from + (to - from) * i / steps;
            xdotool({"mousemove", QString::number(at.x()), QString::number(at.y())});
            QTest::qWait(40);
        }
    }
    QImage screenshot(const QString &path) const
    {
        tool("import", {"-window", "root", path});
        return QImage(path);
    }
    // The property `name` of window `id` as xprop prints it.
    QString property(const QString &id, const QString &name) const { return QString::fromUtf8(tool("xprop", {"-id", id, name})).trimmed(); }
};
