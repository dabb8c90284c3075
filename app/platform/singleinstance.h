#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

class QLocalServer;

// One kavo per user. The process holding the lock on `kavo.lock` in the user's runtime folder is
// the instance: only it creates `kavo.socket` beside the lock and listens there, so two processes
// started together cannot both win, and a dead instance's socket is never taken for a live one.
// A later `kavo FILE...` or `kavo URL` connects, hands over its arguments and waits, for as long as
// the instance lives, until the instance has taken them (queued the drop, passed on the link) or
// refused them.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // What the instance did with one hand-over. A refusal is why it was not taken: the sender
    // prints it and fails. Otherwise it was taken, and the sender prints the note, if any (what
    // became of a link, for the one who opened it).
    struct Answer {
        QString refusal;
        QString note;
    };
    using Handler = std::function<Answer(const QStringList &arguments)>;

    enum class Claim { instance, alreadyRunning, failed };
    enum class Status { taken, refused, notRunning, failed };
    struct Handover {
        Status status = Status::failed;
        QString message; // the note of a hand-over taken, the refusal, or what went wrong
    };

    // $XDG_RUNTIME_DIR when it is a folder private to the user, else "kavo-UID" in the temporary
    // folder, made private (0700). Empty, with `problem` set, when that folder exists but belongs
    // to someone else or others may write to it.
    static QString runtimeDirectory(QString *problem = nullptr);

    explicit SingleInstance(QObject *parent = nullptr);
    explicit SingleInstance(QString directory, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Takes the lock without waiting: `instance` makes this process the one to listen().
    Claim claim();
    // Takes hand-overs from now on (after claim() gave `instance`): the socket left by an instance
    // that is gone is replaced.
    bool listen(Handler handler);

    // Hands the arguments to the instance and waits for its answer. An instance that holds the lock
    // but is not listening yet, or is busy, is waited for; `waiting` is called once when the answer
    // takes longer than `patienceMs`.
    Handover forward(const QStringList &arguments, const std::function<void()> &waiting = {}, int patienceMs = 3000) const;

    // Whether some process holds the lock (this one included).
    bool instanceRunning() const;
    // Why the runtime folder cannot be used (with an empty folder), for the user.
    QString problem() const { return m_problem; }
    QString socketPath() const;

    // What a command sends the running instance, with a text, to put that text on the
    // instance's clipboard, which outlives the command.
    static constexpr const char *copyArgument = "--copy";
    // Hands `text` to the running instance's clipboard; false when none runs (or this process is
    // the instance) or it could not copy.
    static bool copyInInstance(const QString &text);

private:
    QString lockPath() const;
    void answer(class QLocalSocket *socket);

    QString m_directory;
    QString m_problem;
    int m_lockFd = -1;
    QLocalServer *m_server = nullptr;
    Handler m_handler;
};
