#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <mutex>

// Collects the lines written through Qt's logging while it lives.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QStringList lines() const;
    QStringList linesContaining(const QString &text) const;

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message);
    QtMessageHandler m_previous;
};

// Writes `content` to `path`, creating parent folders; fails the calling test on error.
void writeFile(const QString &path, const QByteArray &content);
// Runs a program and returns its standard output (empty on failure).
QByteArray runTool(const QString &program, const QStringList &arguments);

#include <qcoro/qcorotask.h>

#include <optional>

namespace detail {
template<typename T>
QCoro::Task<void> storeInto(QCoro::Task<T> task, std::optional<T> *out)
{
    out->emplace(co_await task);
}
}

// Runs the event loop until `task` is done and returns its value (for results that have no
// default value, which QCoro::waitFor needs).
template<typename T>
T awaitTask(QCoro::Task<T> &&task)
{
    std::optional<T> out;
    QCoro::waitFor(detail::storeInto(std::move(task), &out));
    return std::move(*out);
}

inline void awaitTask(QCoro::Task<void> &&task)
{
    QCoro::waitFor(std::move(task));
}
