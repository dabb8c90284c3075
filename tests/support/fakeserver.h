#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <memory>

// A scriptable HTTP/1.1 server on 127.0.0.1 with an ephemeral port, running on its own thread.
// Requests are logged exactly as they arrive on the socket (an empty header value included).
// Each request is answered by the first queued one-shot response for its method and path, else
// by the route's standing response, else 404. Every request is logged with its method, path,
// raw query (order kept), headers and body.
class FakeServer
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    struct Response {
        int status = 200;
        Headers headers;
        QByteArray body;
        int delayMs = 0;   // wait this long before answering
        bool drop = false; // send the status line and headers, then close the connection

        static Response json(int status, const QByteArray &body);
        static Response text(int status, const QByteArray &body);
        static Response dropped();
        static Response delayed(int delayMs, Response then);
    };

    struct Request {
        QByteArray method;
        QString path;
        QByteArray rawQuery;
        Headers headers;
        QByteArray body;

        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
        // Query items in the order they were sent, percent-decoded.
        QList<QPair<QString, QString>> queryItems() const;
    };

    // Port 0 picks a free one.
    explicit FakeServer(quint16 port = 0);
    ~FakeServer();
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    QUrl url() const;
    int port() const;

    void route(const QByteArray &method, const QString &path, Response response);
    void enqueue(const QByteArray &method, const QString &path, Response response);

    QList<Request> requests() const;
    QList<Request> requests(const QByteArray &method, const QString &path) const;
    void clearLog();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
