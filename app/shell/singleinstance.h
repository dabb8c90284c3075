#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;

// One kavo per user: the first process listens on a per-user local socket; a later `kavo FILE...`
// or `kavo URL` connects, hands over its arguments and exits.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // $XDG_RUNTIME_DIR/kavo.socket when that folder exists, else a name private to the user.
    static QString defaultSocketName();

    explicit SingleInstance(QString socketName = defaultSocketName(), QObject *parent = nullptr);
    ~SingleInstance() override;

    // Becomes the running instance; false when another one already answers.
    bool listen();
    // Hands the arguments to the running instance; false when none answered.
    bool forward(const QStringList &arguments, int timeoutMs = 3000) const;

Q_SIGNALS:
    void received(const QStringList &arguments);

private:
    QString m_name;
    QLocalServer *m_server = nullptr;
};
