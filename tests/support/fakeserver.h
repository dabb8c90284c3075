#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <memory>

// A scriptable HTTP/1.1 server on a free port of 127.0.0.1, running on its own thread: over TLS with
// the test CA's loopback certificate (testCaPem), or plain where a benchmark wants a baseline.
// Requests are logged exactly as they arrive on the socket (an empty header value included).
// Each request is answered by the first queued one-shot response for its method and path, else
// by the route's standing response, else 404; the response is chosen as soon as the request's
// head is in, so it also says how the body is read (slowly, dropped part-way, counted but not
// kept). Every request is logged with its method, path, raw query (order kept), headers and body.
class FakeServer
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    struct Response {
        int status = 200;
        Headers headers;
        QByteArray body;
        int delayMs = 0; // wait this long before answering
        bool drop = false; // send the status line and headers, then close the connection
        enum class Framing { contentLength, chunked, closeDelimited };
        Framing framing = Framing::contentLength;
        int dribbleMs = 0; // send the body one byte at a time, this long apart
        // How the request body is read.
        qint64 readBytesPerSecond = 0; // 0: as fast as it comes
        qint64 resetAfterBodyBytes = -1; // reset the connection once this much of the body is in
        // Answer once this much of the body is in, then read and drop the rest (an early refusal).
        qint64 answerAfterBodyBytes = -1;
        bool sinkBody = false; // count and hash the body instead of keeping it

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
        QByteArray body; // empty when the body was sunk
        qint64 bodySize = 0; // bytes of body received, also when sunk
        QByteArray bodySha256;

        QByteArray header(const QByteArray &name) const;
        bool hasHeader(const QByteArray &name) const;
    };

    struct Options {
        bool tls = true;
    };

    FakeServer();
    explicit FakeServer(Options options);
    ~FakeServer();
    FakeServer(const FakeServer &) = delete;
    FakeServer &operator=(const FakeServer &) = delete;

    // The CA that signed the server's certificate, for clients to trust.
    static QByteArray testCaPem();

    // https://127.0.0.1:PORT, or http:// when plain.
    QUrl url() const;
    int port() const;

    void route(const QByteArray &method, const QString &path, Response response);
    void enqueue(const QByteArray &method, const QString &path, Response response);

    QList<Request> requests() const;
    QList<Request> requests(const QByteArray &method, const QString &path) const;
    void clearLog();

    // Body bytes received so far on requests whose response sinks the body, counted as they are
    // read off the socket.
    qint64 sunkBytes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
