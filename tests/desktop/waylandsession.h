#pragma once

// A Wayland desktop of the tests' own: sway on the headless backend (no Xwayland, so nothing
// can reach the clipboard through X11), with a private session bus. sway refuses to run as
// root; then it runs as nobody, and the tests (root) still reach its socket.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "desktopprocesses.h"

#include <unistd.h>

struct WaylandSession : DesktopProcesses {
    QTemporaryDir home;
    QString socket; // the absolute path WAYLAND_DISPLAY names
    QString bus;

    static QStringList missingPrograms()
    {
        QStringList missing;
        for (const char *program : {"sway", "wl-paste", "wl-copy", "dbus-daemon", "setpriv"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
                missing.append(QString::fromLatin1(program));
        return missing;
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *variable : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY"})
            env.remove(QString::fromLatin1(variable));
        env.insert("WAYLAND_DISPLAY", socket);
        if (!bus.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        env.insert("QT_QPA_PLATFORM", "wayland");
        return env;
    }
    QProcess *launch(const QString &program, const QStringList &arguments, const QProcessEnvironment &env)
    {
        return spawn(program, arguments, env);
    }
    // A private bus, then sway; false when they did not come up.
    bool start()
    {
        QProcess *daemon = launch("dbus-daemon", {"--config-file=" KAVO_TEST_SESSION_BUS_CONFIG, "--nofork", "--print-address=1"},
                                  QProcessEnvironment::systemEnvironment());
        if (!daemon->waitForReadyRead(10000))
            return false;
        bus = QString::fromLatin1(daemon->readLine()).trimmed();

        const QString runtime = home.filePath("runtime");
        QDir().mkpath(runtime);
        QFile::setPermissions(home.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
        QFile config(home.filePath("config"));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write("xwayland disable\noutput HEADLESS-1 resolution 1280x800\n");
        config.close();
        config.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);

        QProcessEnvironment env;
        env.insert("PATH", qEnvironmentVariable("PATH"));
        env.insert("HOME", home.path());
        env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("WLR_BACKENDS", "headless");
        env.insert("WLR_LIBINPUT_NO_DEVICES", "1");
        env.insert("WLR_RENDERER", "pixman");
        QStringList command{"sway", "-c", config.fileName()};
        if (::geteuid() == 0) {
            if (::chown(QFile::encodeName(runtime).constData(), 65534, 65534) != 0)
                return false;
            command = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups"} + command;
            command.prepend("setpriv");
        } else {
            QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        QProcess *sway = launch(command.takeFirst(), command, env);
        socket = runtime + "/wayland-1";
        if (!QTest::qWaitFor([&] { return QFile::exists(socket) || sway->state() != QProcess::Running; }, 15000)
            || sway->state() != QProcess::Running)
            return false;
        // The socket is there a moment before sway answers on it.
        return QTest::qWaitFor(
            [&] {
                const Run asked = tool("wl-paste", {"--list-types"});
                return asked.exitCode == 0 || asked.err.contains("No selection");
            },
            10000);
    }
    struct Run {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    Run tool(const QString &program, const QStringList &arguments, const QByteArray &input = {}) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        if (!input.isEmpty() || program == QLatin1String("wl-copy")) {
            process.write(input);
            process.closeWriteChannel();
        }
        process.waitForFinished(10000);
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAllStandardOutput(),
                process.readAllStandardError()};
    }
    // What a paste gives now (wl-paste --no-newline), or nothing when the clipboard is empty.
    QByteArray paste() const { return tool("wl-paste", {"--no-newline"}).out; }
};
