#pragma once

// The programs a test desktop runs (its display server, bus, window manager, tray, Kavo), ended
// in the reverse order they were started when the desktop goes.

#include <QProcess>

#include <memory>
#include <vector>

struct DesktopProcesses {
    std::vector<std::unique_ptr<QProcess>> processes;

    DesktopProcesses() = default;
    DesktopProcesses(const DesktopProcesses &) = delete;
    DesktopProcesses &operator=(const DesktopProcesses &) = delete;
    ~DesktopProcesses()
    {
        for (auto it = processes.rbegin(); it != processes.rend(); ++it) {
            (*it)->terminate();
            if (!(*it)->waitForFinished(3000))
                (*it)->kill();
            (*it)->waitForFinished(1000);
        }
    }
    QProcess *spawn(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
                    QProcess::ProcessChannelMode channels = QProcess::ForwardedErrorChannel)
    {
        processes.push_back(std::make_unique<QProcess>());
        QProcess *process = processes.back().get();
        process->setProcessEnvironment(env);
        process->setProcessChannelMode(channels);
        process->start(program, arguments);
        process->waitForStarted(5000);
        return process;
    }
};
