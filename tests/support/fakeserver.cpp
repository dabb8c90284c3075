#include "fakeserver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <deque>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/socket.h>

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

namespace {
QByteArray reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases{{200, "OK"},
                                                {201, "Created"},
                                                {204, "No Content"},
                                                {308, "Resume Incomplete"},
                                                {400, "Bad Request"},
                                                {401, "Unauthorized"},
                                                {403, "Forbidden"},
                                                {404, "Not Found"},
                                                {409, "Conflict"},
                                                {410, "Gone"},
                                                {500, "Internal Server Error"}};
    return phrases.value(status, "Status");
}
}

// The server's state, shared between the test's thread and the server thread.
struct FakeServer::Impl {
    mutable std::mutex mutex;
    QHash<QString, Response> routes;
    QHash<QString, std::deque<Response>> queued;
    QList<Request> log;
    std::atomic<qint64> sunk{0};
    QThread thread;
    QTcpServer *listener = nullptr; // lives on `thread`
    int port = 0;
    bool tls = true;

    static QString key(const QByteArray &method, const QString &path) { return QString::fromLatin1(method) + QLatin1Char(' ') + path; }

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

    // One connection: its requests are read one after the other, each answered before the next.
    struct Connection {
        QTcpSocket *socket = nullptr;
        QByteArray buffer; // read off the socket, not yet taken
        enum class Phase { head, body, chunkedBody, answering, draining } phase = Phase::head;
        Request request;
        Response response;
        qint64 remaining = 0;
        QCryptographicHash hash{QCryptographicHash::Sha256};
        QTimer *throttle = nullptr;
        qint64 budget = 0; // bytes a slow reader may still take now
    };

    void serve(QTcpSocket *socket)
    {
        auto c = std::make_shared<Connection>();
        c->socket = socket;
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, c] { pump(*c); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [c] {
            if (c->throttle)
                c->throttle->stop();
            c->socket->deleteLater();
        });
    }

    static void parseHead(const QByteArray &head, Request &request)
    {
        const QList<QByteArray> lines = head.split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
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
    }

    // A chunked request body, once it is all in `buffer`.
    static std::optional<QByteArray> takeChunked(QByteArray &buffer)
    {
        QByteArray body;
        qsizetype at = 0;
        for (;;) {
            const qsizetype lineEnd = buffer.indexOf("\r\n", at);
            if (lineEnd < 0)
                return std::nullopt;
            bool ok = false;
            const qsizetype size = buffer.mid(at, lineEnd - at).split(';').value(0).trimmed().toLongLong(&ok, 16);
            if (!ok || buffer.size() < lineEnd + 2 + size + 2)
                return std::nullopt;
            body.append(buffer.mid(lineEnd + 2, size));
            at = lineEnd + 2 + size + 2;
            if (size == 0)
                break;
        }
        buffer.remove(0, at);
        return body;
    }

    void takeBody(Connection &c, const QByteArray &piece)
    {
        c.remaining -= piece.size();
        c.request.bodySize += piece.size();
        if (c.response.sinkBody) {
            c.hash.addData(piece);
            sunk += piece.size();
        } else {
            c.request.body += piece;
        }
        if (c.response.readBytesPerSecond > 0)
            c.budget -= piece.size();
    }

    void startSlowReading(Connection &c)
    {
        // A small read buffer, so that what is not read stays in the kernel and the sender waits.
        // The kernel's receive buffer is kept small too: what sits there has been acknowledged to
        // the client, which can know no better, while this server has not read it yet. Left to
        // autotuning it grows to several MiB on loopback.
        c.socket->setReadBufferSize(64 * 1024);
        const int receiveBuffer = 128 * 1024;
        ::setsockopt(int(c.socket->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (!c.throttle) {
            c.throttle = new QTimer(c.socket);
            c.throttle->setInterval(20);
            QObject::connect(c.throttle, &QTimer::timeout, c.socket, [this, &c] {
                const qint64 tick = c.response.readBytesPerSecond / 50;
                c.budget = std::min(c.budget + tick, tick * 5);
                pump(c);
            });
        }
        c.budget = 0;
        c.throttle->start();
    }

    void reset(Connection &c)
    {
        // Linger 0: close sends a reset instead of a orderly end.
        const linger hard{1, 0};
        ::setsockopt(int(c.socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        c.socket->abort();
    }

    void pump(Connection &c)
    {
        for (;;) {
            switch (c.phase) {
            case Connection::Phase::answering:
                return;
            case Connection::Phase::draining:
                c.socket->readAll();
                return;
            case Connection::Phase::head: {
                const qsizetype end = c.buffer.indexOf("\r\n\r\n");
                if (end < 0) {
                    const QByteArray more = c.socket->read(64 * 1024);
                    if (more.isEmpty())
                        return;
                    c.buffer += more;
                    continue;
                }
                c.request = Request();
                parseHead(c.buffer.left(end), c.request);
                c.buffer.remove(0, end + 4);
                c.response = take(c.request.method, c.request.path);
                c.hash.reset();
                if (c.request.header("Transfer-Encoding").compare("chunked", Qt::CaseInsensitive) == 0) {
                    c.phase = Connection::Phase::chunkedBody;
                } else {
                    c.phase = Connection::Phase::body;
                    c.remaining = c.request.header("Content-Length").toLongLong();
                    if (c.response.readBytesPerSecond > 0)
                        startSlowReading(c);
                }
                continue;
            }
            case Connection::Phase::chunkedBody: {
                c.buffer += c.socket->readAll();
                const std::optional<QByteArray> body = takeChunked(c.buffer);
                if (!body)
                    return;
                takeBody(c, *body);
                finishRequest(c);
                return;
            }
            case Connection::Phase::body: {
                if (c.remaining > 0) {
                    qint64 allowed = std::min<qint64>(c.remaining, 1 << 20);
                    if (c.response.readBytesPerSecond > 0)
                        allowed = std::min(allowed, c.budget);
                    if (c.response.resetAfterBodyBytes >= 0)
                        allowed = std::min(allowed, c.response.resetAfterBodyBytes - c.request.bodySize);
                    if (c.response.answerAfterBodyBytes >= 0)
                        allowed = std::min(allowed, c.response.answerAfterBodyBytes - c.request.bodySize);
                    QByteArray piece;
                    if (allowed > 0 && !c.buffer.isEmpty()) {
                        piece = c.buffer.left(allowed);
                        c.buffer.remove(0, piece.size());
                    } else if (allowed > 0) {
                        piece = c.socket->read(allowed);
                    }
                    if (!piece.isEmpty())
                        takeBody(c, piece);
                    if (c.response.resetAfterBodyBytes >= 0 && c.request.bodySize >= c.response.resetAfterBodyBytes) {
                        logRequest(c);
                        reset(c);
                        return;
                    }
                    if (c.response.answerAfterBodyBytes >= 0 && c.request.bodySize >= c.response.answerAfterBodyBytes) {
                        logRequest(c);
                        answer(c.socket, c.response);
                        c.phase = Connection::Phase::draining;
                        continue;
                    }
                    if (piece.isEmpty())
                        return; // wait for more bytes, or for the throttle
                    continue;
                }
                finishRequest(c);
                return;
            }
            }
        }
    }

    void logRequest(Connection &c)
    {
        if (c.response.sinkBody)
            c.request.bodySha256 = c.hash.result();
        else
            c.request.bodySha256 = QCryptographicHash::hash(c.request.body, QCryptographicHash::Sha256);
        std::lock_guard lock(mutex);
        log.append(c.request);
    }

    void finishRequest(Connection &c)
    {
        if (c.throttle)
            c.throttle->stop();
        c.socket->setReadBufferSize(0);
        logRequest(c);
        c.phase = Connection::Phase::answering;
        QPointer<QTcpSocket> guard(c.socket);
        QTimer::singleShot(c.response.delayMs, c.socket, [this, guard, &c] {
            if (!guard)
                return;
            const bool keepOpen = answer(guard, c.response);
            c.phase = Connection::Phase::head;
            if (keepOpen && guard->state() == QAbstractSocket::ConnectedState)
                pump(c);
        });
    }

    // Writes the answer; false when it closes the connection.
    static bool answer(QTcpSocket *socket, const Response &response)
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
            return false;
        }
        if (response.dribbleMs > 0) {
            socket->write(head + "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n");
            auto *drip = new QTimer(socket);
            QObject::connect(drip, &QTimer::timeout, socket, [socket, drip, body = response.body, sent = qsizetype(0)]() mutable {
                if (sent < body.size())
                    socket->write(body.mid(sent++, 1));
                if (sent == body.size())
                    drip->deleteLater();
            });
            drip->start(response.dribbleMs);
            return true;
        }
        switch (response.framing) {
        case Response::Framing::contentLength:
            socket->write(head + "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n" + response.body);
            return true;
        case Response::Framing::chunked: {
            QByteArray out = head + "Transfer-Encoding: chunked\r\n\r\n";
            const qsizetype half = response.body.size() / 2;
            for (const QByteArray &part : {response.body.left(half), response.body.mid(half)}) {
                if (!part.isEmpty())
                    out += QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n";
            }
            socket->write(out + "0\r\n\r\n");
            return true;
        }
        case Response::Framing::closeDelimited:
            // The body runs until the connection ends.
            socket->write(head + "Connection: close\r\n\r\n" + response.body);
            socket->disconnectFromHost();
            return false;
        }
        return true;
    }
};

QByteArray FakeServer::testCaPem()
{
    QFile file(QStringLiteral(KAVO_TEST_TLS_DIR "/ca.pem"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

FakeServer::FakeServer()
    : FakeServer(Options{})
{
}

FakeServer::FakeServer(Options options)
    : d(std::make_unique<Impl>())
{
    d->tls = options.tls;
    d->thread.setObjectName(QStringLiteral("fake-http-server"));
    d->thread.start();
    if (options.tls) {
        auto *server = new QSslServer;
        QFile certificate(QStringLiteral(KAVO_TEST_TLS_DIR "/server.pem"));
        QFile key(QStringLiteral(KAVO_TEST_TLS_DIR "/server.key"));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        if (certificate.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly)) {
            configuration.setLocalCertificate(QSslCertificate(certificate.readAll(), QSsl::Pem));
            configuration.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec, QSsl::Pem));
        }
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        server->setSslConfiguration(configuration);
        d->listener = server;
    } else {
        d->listener = new QTcpServer;
    }
    d->listener->moveToThread(&d->thread);
    QObject::connect(d->listener, &QTcpServer::pendingConnectionAvailable, d->listener, [this] {
        while (QTcpSocket *socket = d->listener->nextPendingConnection())
            d->serve(socket);
    });
    // Listening sets up the socket's notifiers, so it happens on the server thread.
    QMetaObject::invokeMethod(
        d->listener,
        [this] {
            if (d->listener->listen(QHostAddress::LocalHost, 0))
                d->port = d->listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

FakeServer::~FakeServer()
{
    QMetaObject::invokeMethod(
        d->listener,
        [this] {
            for (QTcpSocket *socket : d->listener->findChildren<QTcpSocket *>())
                socket->abort();
            delete d->listener;
            d->listener = nullptr;
            QThread::currentThread()->quit();
        },
        Qt::BlockingQueuedConnection);
    d->thread.wait();
}

QUrl FakeServer::url() const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2").arg(d->tls ? QStringLiteral("https") : QStringLiteral("http")).arg(d->port));
}

int FakeServer::port() const
{
    return d->port;
}

qint64 FakeServer::sunkBytes() const
{
    return d->sunk;
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
