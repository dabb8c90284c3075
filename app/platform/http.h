#pragma once

#include "error.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class BulkTransfers;
class QFile;
class QNetworkAccessManager;
class QSslConfiguration;

// An HTTP answer whatever its status; only failures to get one are errors.
struct HttpResponse {
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The first header of that name (case-insensitive), empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool isSuccess() const { return status >= 200 && status < 300; }
};

// How a reply ended besides its Qt error: a deliberate abort (Qt reports the transfer timeout the
// same way) or a server certificate that did not verify (a failed handshake otherwise).
struct ReplyFlags {
    bool userCancelled = false;
    bool certificateRejected = false;
};

// The URL-loading code of a Qt network error (TransportCode).
int transportCode(QNetworkReply::NetworkError error, ReplyFlags flags = {});

// A transport error value: its code as above and Qt's error text with the query part of any URL
// it quotes cut off (an upload session URL is a credential).
Error transportError(QNetworkReply::NetworkError error, const QString &errorString, ReplyFlags flags = {});
QString withoutUrlQueries(const QString &text);

// Whether this machine has no network that could carry a request to `host`: for a loopback
// host, its loopback interface is down; for any other, no interface but loopback is up.
bool noNetworkFor(const QString &host);
// A connection failure's code as the user should read it: "not connected to the internet" when
// the failure says the network is unreachable, or when it could not find or reach the host and
// the machine has no network for it at all; "cannot connect to host" when the host alone is
// unreachable. Other codes are returned as they are.
int offlineAware(int code, const QString &host, const QString &failureText = {});

// The refusal of a redirect from `from` to another origin (`to`), which a credential never follows.
Error redirectedElsewhere(const QUrl &from, const QUrl &to);

// `error` marked as throttled when `response` is a 429 or 503, with the wait its Retry-After
// names (delay seconds, or an HTTP date, against `now`).
Error throttling(Error error, const HttpResponse &response, const QDateTime &now = QDateTime::currentDateTimeUtc());
// `error` marked as throttled whatever the status (a provider's own rate-limit refusal).
Error throttled(Error error, const HttpResponse &response, const QDateTime &now = QDateTime::currentDateTimeUtc());
std::optional<std::chrono::milliseconds> retryAfterDelay(const QByteArray &value, const QDateTime &now);

// "Couldn't read NAME: reason" for a file that could not be opened or read.
Error fileReadError(const QFile &file);

// `bytes` as UTF-8 text, or no value when they are not valid UTF-8.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

// The longest server text an error message quotes, in characters.
constexpr qsizetype maxQuotedAnswer = 300;
// `text` cut to maxQuotedAnswer characters, with an ellipsis where it was cut.
QString shortened(const QString &text);
// A body quoted in an error message: its UTF-8 text shortened, empty when it is not UTF-8.
QString quotedAnswer(const QByteArray &body);

// The HTTP layer. Small JSON and form requests go on one QNetworkAccessManager and must be
// answered whole within the timeout; request bodies read from a file go through libcurl
// (bulktransfer.h), where the timeout is the longest time nothing moves. Neither engine keeps an
// answer longer than its bound (maxAnswerBytes unless a request names another): a longer one is
// refused (answerTooLarge).
// Each reply becomes an HttpResponse or a transport Error. Both engines trust the system's
// certificate store plus `extraCaPem` (PEM certificates, empty for none) and take the proxy the
// environment names (proxy.h).
class Http
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    // Body bytes the server has taken so far, of `total`. Called from the transfer's own thread.
    using Progress = std::function<void(qint64 sent, qint64 total)>;
    static constexpr std::chrono::milliseconds defaultTimeout{60000};
    // Answers are JSON objects or error texts.
    static constexpr qsizetype maxAnswerBytes = 4 << 20;
    static Error answerTooLarge(qsizetype limit);

    explicit Http(QNetworkAccessManager *manager, std::chrono::milliseconds timeout = defaultTimeout, QByteArray extraCaPem = {});
    ~Http();
    Http(const Http &) = delete;
    Http &operator=(const Http &) = delete;

    std::chrono::milliseconds timeout() const { return m_timeout; }

    // With `cancelWhenGone`, the request is aborted once that object is destroyed (the answer is
    // then a cancellation error). An answer longer than `answerLimit` bytes is refused.
    QCoro::Task<Result<HttpResponse>> send(QNetworkRequest request, QByteArray verb, QByteArray body = {},
                                           const QObject *cancelWhenGone = nullptr, qsizetype answerLimit = maxAnswerBytes);
    // Sends `length` bytes of `file` (open for reading; it must stay open until the task ends)
    // from `offset` as the request body, with Content-Length set. See BulkTransfers.
    QCoro::Task<Result<HttpResponse>> sendFile(QByteArray verb, QUrl url, Headers headers, QFile *file, qint64 offset, qint64 length,
                                               Progress progress = {});
    // Sends a request that must reach the server at most once (it creates something, such as a
    // registration): on a connection of its own, so a connection closed before the answer ends
    // it with an error rather than having it sent again by the transport, as Qt does with a
    // request on a kept-alive connection. Redirects are followed only within the request's
    // origin (307 and 308, which keep the body); one elsewhere is an error, as for send().
    QCoro::Task<Result<HttpResponse>> sendOnce(QNetworkRequest request, QByteArray verb, QByteArray body);
    // Ends every file transfer in flight with a cancellation error.
    void cancelTransfers();

private:
    // One request and its answer, a redirect included (send() follows it).
    QCoro::Task<Result<HttpResponse>> sendOne(QNetworkRequest request, QByteArray verb, QByteArray body, const QObject *cancelWhenGone,
                                              qsizetype answerLimit);
    QCoro::Task<Result<HttpResponse>> finish(QNetworkReply *reply, qsizetype answerLimit);
    QNetworkAccessManager *m_manager;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<QSslConfiguration> m_tls; // set when extra certificates are trusted
    std::unique_ptr<BulkTransfers> m_bulk;
};
