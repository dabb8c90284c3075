#pragma once

#include "http.h"

#include <QUrl>

#include <memory>

// The large request bodies (a whole file to a Drive session, a Dropbox chunk) go through libcurl:
// one easy handle per transfer (connections and TLS sessions shared between them), run by
// curl_easy_perform on a thread of its own, so neither the
// disk nor the network ever waits for the GUI's event loop (a multi handle driven from the event
// loop would tie the upload's pace to how busy the popover is). The body is read from the file by
// a read callback, so memory stays small whatever the size.
//
// Progress counts the body bytes the server's end has taken: what curl handed to the socket less
// what still sits unacknowledged in the socket's send queue. Reports never reach the total before
// the server's final 2xx answer; then one report of (total, total) follows.
//
// The 60-second rule is a low-speed limit: the transfer fails as timed out (-1001) when no byte
// moves for that long, either way (while sending, or waiting for the answer); connecting and the
// TLS handshake have the same limit.
class BulkTransfers
{
public:
    struct Request {
        QByteArray verb; // "PUT" or "POST"
        QUrl url;
        QList<QPair<QByteArray, QByteArray>> headers;
        int fd = -1; // an open file, read with pread and never moved
        qint64 offset = 0;
        qint64 length = 0;
        QString fileName; // for error texts
        QByteArray body; // the body itself, when there is no file (fd -1); `length` is its size
        // On a connection of its own, closed afterwards: a connection that fails is never taken
        // for a stale kept-alive one whose request may be sent again.
        bool freshConnection = false;
    };

    BulkTransfers(std::chrono::milliseconds timeout, QByteArray extraCaPem);
    // Cancels what still runs and waits for its threads (a cancelled transfer stops within a
    // second); their awaiting coroutines never resume.
    ~BulkTransfers();
    BulkTransfers(const BulkTransfers &) = delete;
    BulkTransfers &operator=(const BulkTransfers &) = delete;

    QCoro::Task<Result<HttpResponse>> send(Request request, Http::Progress progress);

    // Ends every transfer in flight with a cancellation error (-999).
    void cancelAll();

    struct Transfer;

private:
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<struct TransferRegistry> m_registry;
};
