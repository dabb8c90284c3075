#include "singleinstance.h"

#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace {
// A length-prefixed list of strings, one message per connection.
QByteArray encode(const QStringList &arguments)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out << arguments;
    QByteArray message;
    QDataStream framed(&message, QIODevice::WriteOnly);
    framed << quint32(payload.size());
    return message + payload;
}

constexpr quint32 maximumMessage = 1 << 20;
}

QString SingleInstance::defaultSocketName()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime + QStringLiteral("/kavo.socket");
    return QStringLiteral("kavo-") + QString::number(::getuid());
}

SingleInstance::SingleInstance(QString socketName, QObject *parent)
    : QObject(parent)
    , m_name(std::move(socketName))
{
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::listen()
{
    if (forward({}, 500))
        return false; // someone answers: they are the instance
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // Nobody answered, so a socket file left there belongs to a process that is gone.
    QLocalServer::removeServer(m_name);
    if (!m_server->listen(m_name))
        return false;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (socket->bytesAvailable() < qint64(sizeof(quint32)))
                    return;
                QDataStream in(socket->peek(sizeof(quint32)));
                quint32 size = 0;
                in >> size;
                if (size > maximumMessage) {
                    socket->abort();
                    return;
                }
                if (socket->bytesAvailable() < qint64(sizeof(quint32) + size))
                    return;
                socket->read(sizeof(quint32));
                QDataStream payload(socket->read(size));
                payload.setVersion(QDataStream::Qt_6_4);
                QStringList arguments;
                payload >> arguments;
                socket->write("ok");
                socket->flush();
                socket->disconnectFromServer();
                if (payload.status() == QDataStream::Ok && !arguments.isEmpty())
                    Q_EMIT received(arguments);
            });
        }
    });
    return true;
}

bool SingleInstance::forward(const QStringList &arguments, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(encode(arguments));
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // The answer says the instance took the message.
    while (socket.bytesAvailable() < 2) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.read(2) == "ok";
}
