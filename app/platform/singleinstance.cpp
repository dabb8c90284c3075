#include "singleinstance.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Instances this process holds: a process that is the instance never hands anything to itself.
int instancesHere = 0;

// A length-prefixed list of strings, one message per connection. The answer is "ok" followed by
// the note, or "no" followed by the reason, both in UTF-8, and then the instance closes the
// connection.
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
const QByteArray taken = QByteArrayLiteral("ok");
const QByteArray refused = QByteArrayLiteral("no");

// A folder only this user can reach: a real folder (not a link to one), owned by the user, with
// no access for group or others.
bool isPrivateFolder(const QByteArray &path)
{
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

// An open-file-description lock on the whole file: it belongs to the descriptor, so it conflicts
// with any other open of the file (in this process too), and it goes when the process does.
struct flock wholeFile(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}
}

QString SingleInstance::runtimeDirectory(QString *problem)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateFolder(runtime))
        return QFile::decodeName(runtime);
    const QString folder = QDir::tempPath() + QStringLiteral("/kavo-") + QString::number(::getuid());
    const QByteArray encoded = QFile::encodeName(folder);
    ::mkdir(encoded.constData(), 0700); // an existing one is checked below like a new one
    if (isPrivateFolder(encoded))
        return folder;
    if (problem) {
        *problem = QStringLiteral("%1 is not a folder private to you (someone else owns it or may write to it), "
                                  "so Kavo cannot safely take requests there. Remove it, or set XDG_RUNTIME_DIR.")
                       .arg(folder);
    }
    return {};
}

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{
    m_directory = runtimeDirectory(&m_problem);
}

SingleInstance::SingleInstance(QString directory, QObject *parent)
    : QObject(parent)
    , m_directory(std::move(directory))
{
    if (m_directory.isEmpty())
        m_problem = QStringLiteral("Kavo has no runtime folder to take requests in.");
}

SingleInstance::~SingleInstance()
{
    if (m_server) {
        m_server->close(); // removes the socket file
        delete m_server;
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        --instancesHere;
    }
}

QString SingleInstance::socketPath() const
{
    return m_directory + QStringLiteral("/kavo.socket");
}

QString SingleInstance::lockPath() const
{
    return m_directory + QStringLiteral("/kavo.lock");
}

SingleInstance::Claim SingleInstance::claim()
{
    if (m_lockFd >= 0)
        return Claim::instance;
    if (m_directory.isEmpty())
        return Claim::failed;
    const int fd = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_problem = QStringLiteral("Couldn't open %1: %2").arg(lockPath(), QString::fromLocal8Bit(::strerror(errno)));
        return Claim::failed;
    }
    struct flock lock = wholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES)
            return Claim::alreadyRunning;
        m_problem = QStringLiteral("Couldn't lock %1: %2").arg(lockPath(), QString::fromLocal8Bit(::strerror(error)));
        return Claim::failed;
    }
    m_lockFd = fd;
    ++instancesHere;
    return Claim::instance;
}

bool SingleInstance::copyInInstance(const QString &text)
{
    if (instancesHere > 0)
        return false;
    const SingleInstance channel;
    return channel.instanceRunning() && channel.forward({QString::fromLatin1(copyArgument), text}).status == Status::taken;
}

bool SingleInstance::instanceRunning() const
{
    if (m_lockFd >= 0)
        return true;
    if (m_directory.isEmpty())
        return false;
    const int fd = ::open(QFile::encodeName(lockPath()).constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false; // no lock file: nobody ever claimed this folder
    struct flock lock = wholeFile(F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

bool SingleInstance::listen(Handler handler)
{
    if (m_lockFd < 0 || m_server)
        return m_server != nullptr;
    m_handler = std::move(handler);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // This process holds the lock, so a socket file already there was left by an instance that
    // is gone.
    QLocalServer::removeServer(socketPath());
    if (!m_server->listen(socketPath())) {
        m_problem = QStringLiteral("Couldn't listen on %1: %2").arg(socketPath(), m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] { answer(socket); });
            if (socket->bytesAvailable() > 0)
                answer(socket);
        }
    });
    return true;
}

void SingleInstance::answer(QLocalSocket *socket)
{
    if (socket->bytesAvailable() < qint64(sizeof(quint32)))
        return;
    QDataStream in(socket->peek(sizeof(quint32)));
    quint32 size = 0;
    in >> size;
    if (size > maximumMessage) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < qint64(sizeof(quint32)) + qint64(size))
        return;
    socket->read(sizeof(quint32));
    QDataStream payload(socket->read(size));
    payload.setVersion(QDataStream::Qt_6_4);
    QStringList arguments;
    payload >> arguments;
    Answer answer;
    if (payload.status() != QDataStream::Ok)
        answer.refusal = QStringLiteral("Kavo couldn't read the request.");
    else if (!arguments.isEmpty() && m_handler)
        answer = m_handler(arguments);
    // Only now, with the request handled, does the sender hear that it was taken.
    socket->write(answer.refusal.isEmpty() ? taken + answer.note.toUtf8() : refused + answer.refusal.toUtf8());
    socket->flush();
    socket->disconnectFromServer();
}

SingleInstance::Handover SingleInstance::forward(const QStringList &arguments, const std::function<void()> &waiting, int patienceMs) const
{
    if (m_directory.isEmpty())
        return {Status::failed, m_problem};
    QElapsedTimer clock;
    clock.start();
    bool told = false;
    const auto stillWaiting = [&] {
        if (!told && waiting && clock.elapsed() > patienceMs) {
            told = true;
            waiting();
        }
    };

    // An instance that holds the lock but does not listen yet is starting: try again.
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(1000))
            break;
        socket.abort();
        if (!instanceRunning())
            return {Status::notRunning, {}};
        stillWaiting();
        QThread::msleep(50);
    }
    socket.write(encode(arguments));
    // A busy or stopped instance takes the request when it gets to it; the kernel keeps it until
    // then. The connection only ends early if the instance goes away.
    QByteArray reply;
    while (socket.state() == QLocalSocket::ConnectedState) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(250);
        else
            socket.waitForReadyRead(250);
        reply += socket.readAll();
        stillWaiting();
    }
    reply += socket.readAll();
    if (reply.startsWith(taken))
        return {Status::taken, QString::fromUtf8(reply.mid(taken.size()))};
    if (reply.startsWith(refused))
        return {Status::refused, QString::fromUtf8(reply.mid(refused.size()))};
    // No answer: the instance quit or died before it took the request. A dying process closes
    // its descriptors one by one, so its lock may outlive its socket by a moment.
    for (int i = 0; i < 40; ++i) {
        if (!instanceRunning())
            return {Status::notRunning, {}};
        QThread::msleep(50);
    }
    return {Status::failed, QStringLiteral("Kavo closed the connection without answering.")};
}
