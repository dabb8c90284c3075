#include "fakeserver.h"

#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <deque>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

FakeServer::Response FakeServer::Response::json(int status, const QByteArray &body)
{
    return Response{status, {{"Content-Type", "application/json"}}, body};
}

FakeServer::Response FakeServer::Response::text(int status, const QByteArray &body)
{
    return Response{status, {{"Content-Type", "text/plain; charset=utf-8"}}, body};
}

FakeServer::Response FakeServer::Response::dropped()
{
    Response r;
    r.drop = true;
    return r;
}

FakeServer::Response FakeServer::Response::delayed(int delayMs, Response then)
{
    then.delayMs = delayMs;
    return then;
}

QByteArray FakeServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool FakeServer::Request::hasHeader(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QList<QPair<QString, QString>> FakeServer::Request::queryItems() const
{
    return QUrlQuery(QString::fromUtf8(rawQuery)).queryItems(QUrl::FullyDecoded);
}


namespace {
QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 308: return "Resume Incomplete";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}
}

// The server's state, shared between the test's thread and the server thread.
struct FakeServer::Impl {
    mutable std::mutex mutex;
    QHash<QString, Response> routes;
    QHash<QString, std::deque<Response>> queued;
    QList<Request> log;
    QThread thread;
    QTcpServer *listener = nullptr; // lives on `thread`
    int port = 0;

    static QString key(const QByteArray &method, const QString &path)
    {
        return QString::fromLatin1(method) + QLatin1Char(' ') + path;
    }

    Response take(const QByteArray &method, const QString &path)
    {
        std::lock_guard lock(mutex);
        const QString k = key(method, path);
        auto it = queued.find(k);
        if (it != queued.end() && !it->empty()) {
            Response r = it->front();
            it->pop_front();
            return r;
        }
        if (routes.contains(k))
            return routes.value(k);
        return Response::text(404, "no route for " + k.toUtf8());
    }

    // Reads requests off one connection as they complete, answering each in turn.
    void serve(QTcpSocket *socket)
    {
        auto buffer = std::make_shared<QByteArray>();
        auto busy = std::make_shared<bool>(false);
        auto next = std::make_shared<std::function<void()>>();
        *next = [this, socket, buffer, busy, next] {
            if (*busy)
                return;
            std::optional<Request> request = parse(*buffer);
            if (!request)
                return;
            {
                std::lock_guard lock(mutex);
                log.append(*request);
            }
            const Response response = take(request->method, request->path);
            *busy = true;
            QPointer<QTcpSocket> guard(socket);
            QTimer::singleShot(response.delayMs, socket, [this, guard, response, busy, next] {
                if (!guard)
                    return;
                answer(guard, response);
                *busy = false;
                if (guard && guard->state() == QAbstractSocket::ConnectedState)
                    (*next)();
            });
        };
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, buffer, next] {
            buffer->append(socket->readAll());
            (*next)();
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, next] {
            *next = {}; // breaks the self-reference
            socket->deleteLater();
        });
    }

    // Takes one complete request off the front of `buffer`, if there is one.
    static std::optional<Request> parse(QByteArray &buffer)
    {
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return std::nullopt;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request;
        request.method = requestLine.value(0);
        const QByteArray target = requestLine.value(1);
        const qsizetype q = target.indexOf('?');
        request.path = QUrl::fromPercentEncoding(q < 0 ? target : target.left(q));
        request.rawQuery = q < 0 ? QByteArray() : target.mid(q + 1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i);
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        qsizetype consumed = headerEnd + 4;
        if (request.header("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) == 0) {
            QByteArray body;
            qsizetype at = consumed;
            for (;;) {
                const qsizetype lineEnd = buffer.indexOf("\r\n", at);
                if (lineEnd < 0)
                    return std::nullopt;
                bool ok = false;
                const qsizetype size = buffer.mid(at, lineEnd - at).split(';').value(0).trimmed().toLongLong(&ok, 16);
                if (!ok)
                    return std::nullopt;
                if (buffer.size() < lineEnd + 2 + size + 2)
                    return std::nullopt;
                body.append(buffer.mid(lineEnd + 2, size));
                at = lineEnd + 2 + size + 2;
                if (size == 0)
                    break;
            }
            request.body = body;
            consumed = at;
        } else {
            const qsizetype length = request.header("Content-Length").toLongLong();
            if (buffer.size() < consumed + length)
                return std::nullopt;
            request.body = buffer.mid(consumed, length);
            consumed += length;
        }
        buffer.remove(0, consumed);
        return request;
    }

    static void answer(QTcpSocket *socket, const Response &response)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
        bool hasType = false;
        for (const auto &[name, value] : response.headers) {
            hasType = hasType || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
            head += name + ": " + value + "\r\n";
        }
        if (!hasType)
            head += "Content-Type: application/octet-stream\r\n";
        if (response.drop) {
            // The headers promise a body that never comes.
            socket->write(head + "Content-Length: 16\r\n\r\n");
            socket->flush();
            socket->disconnectFromHost();
            return;
        }
        socket->write(head + "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n" + response.body);
    }
};

FakeServer::FakeServer(quint16 port)
    : d(std::make_unique<Impl>())
{
    d->thread.setObjectName(QStringLiteral("fake-http-server"));
    d->thread.start();
    d->listener = new QTcpServer;
    d->listener->moveToThread(&d->thread);
    QObject::connect(d->listener, &QTcpServer::newConnection, d->listener, [this] {
        while (QTcpSocket *socket = d->listener->nextPendingConnection())
            d->serve(socket);
    });
    // A fixed port may still have connections in TIME_WAIT from an earlier test: the socket is
    // made here with SO_REUSEADDR, which QTcpServer does not set, and handed over.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 && ::listen(fd, 64) == 0;
    // Taking the socket sets up its notifiers, so it happens on the server thread.
    QMetaObject::invokeMethod(d->listener, [this, fd, bound] {
        if (bound && d->listener->setSocketDescriptor(fd))
            d->port = d->listener->serverPort();
        else if (fd >= 0)
            ::close(fd);
    }, Qt::BlockingQueuedConnection);
}

FakeServer::~FakeServer()
{
    QMetaObject::invokeMethod(d->listener, [this] {
        for (QTcpSocket *socket : d->listener->findChildren<QTcpSocket *>())
            socket->abort();
        delete d->listener;
        d->listener = nullptr;
        QThread::currentThread()->quit();
    }, Qt::BlockingQueuedConnection);
    d->thread.wait();
}

QUrl FakeServer::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(d->port));
}

int FakeServer::port() const
{
    return d->port;
}

void FakeServer::route(const QByteArray &method, const QString &path, Response response)
{
    std::lock_guard lock(d->mutex);
    d->routes.insert(Impl::key(method, path), std::move(response));
}

void FakeServer::enqueue(const QByteArray &method, const QString &path, Response response)
{
    std::lock_guard lock(d->mutex);
    d->queued[Impl::key(method, path)].push_back(std::move(response));
}

QList<FakeServer::Request> FakeServer::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->log;
}

QList<FakeServer::Request> FakeServer::requests(const QByteArray &method, const QString &path) const
{
    QList<Request> matching;
    for (const Request &r : requests()) {
        if (r.method == method && r.path == path)
            matching.append(r);
    }
    return matching;
}

void FakeServer::clearLog()
{
    std::lock_guard lock(d->mutex);
    d->log.clear();
}
