#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include "platform/desktop.h"

#include <QTest>

#include <mutex>
#include <type_traits>

// One row of a data-driven test on one line: `row("name", a, b)` is `QTest::newRow("name") << a << b`.
template<typename... Values>
void row(const char *name, const Values &...values)
{
    QTestData &data = QTest::newRow(name);
    ((data << static_cast<std::decay_t<const Values>>(values)), ...);
}

// Skips the calling test because this machine lacks what it needs (a namespace, a way to drop a
// privilege), saying what. The test command accepts skips that say so and fails on any other.
#define KAVO_SKIP_WITHOUT(what) QSKIP(qPrintable(QStringLiteral("this machine lacks ") + (what)))

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
// The file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);
// The fields of an application/x-www-form-urlencoded body, names and values decoded.
QMap<QString, QString> formFields(const QByteArray &body);
// Runs a program and returns its standard output (empty on failure).
QByteArray runTool(const QString &program, const QStringList &arguments);

// A small filesystem of its own (tmpfs, mounted by the test: needs root or a user namespace of
// its own) that can be filled up, as a full disk would be. Unmounted when it goes.
class FullDisk
{
public:
    explicit FullDisk(int kibibytes = 256);
    ~FullDisk();
    // Empty when the filesystem could not be mounted; the reason is in `problem`.
    QString path() const { return m_mounted ? m_dir : QString(); }
    QString problem() const { return m_problem; }
    // Takes every free byte but `leave`.
    void fill(qint64 leave = 0);

private:
    QString m_dir;
    QString m_problem;
    bool m_mounted = false;
};

// Runs this test program again in a user and mount namespace of its own when it is not root, so
// that FullDisk can mount; returns only in the process that runs the tests.
void becomeRootOfOwnNamespace(int argc, char *argv[]);

// A clipboard that keeps every text put on it.
class RecordingClipboard : public Clipboard
{
public:
    QStringList texts;
    QString refusal; // what each copy answers: empty, the copy is made
    QString setText(const QString &text) override
    {
        texts.append(text);
        return refusal;
    }
};

// Notifications kept as "title | body", with what each offered.
class RecordingNotifier : public Notifier
{
public:
    QStringList notes;
    QList<QList<NotificationAction>> offered;
    void notify(const QString &title, const QString &body, const QList<NotificationAction> &actions) override
    {
        notes.append(title + QStringLiteral(" | ") + body);
        offered.append(actions);
    }
};

#include "platform/blockingwait.h"
