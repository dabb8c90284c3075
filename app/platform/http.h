#pragma once

#include "error.h"

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <optional>

class QIODevice;
class QNetworkAccessManager;

// An HTTP answer whatever its status; only failures to get one are errors.
struct HttpResponse {
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The first header of that name (case-insensitive), empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool isSuccess() const { return status >= 200 && status < 300; }
};

// The URL-loading code of a Qt network error (TransportCode); `userCancelled` tells a deliberate
// abort from the transfer timeout, which Qt reports the same way.
int transportCode(QNetworkReply::NetworkError error, bool userCancelled = false);

// A transport error value: its code as above and Qt's error text with the query part of any URL
// it quotes cut off (an upload session URL is a credential).
Error transportError(QNetworkReply::NetworkError error, const QString &errorString, bool userCancelled = false);
QString withoutUrlQueries(const QString &text);

// `bytes` as UTF-8 text, or no value when they are not valid UTF-8.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

// Sends requests on one QNetworkAccessManager with a transfer timeout on every request and turns
// each reply into an HttpResponse or a transport Error.
class Http
{
public:
    using Progress = std::function<void(qint64 sent, qint64 total)>;
    static constexpr std::chrono::milliseconds defaultTimeout{60000};

    explicit Http(QNetworkAccessManager *manager, std::chrono::milliseconds timeout = defaultTimeout);

    QNetworkAccessManager *manager() const { return m_manager; }
    std::chrono::milliseconds timeout() const { return m_timeout; }

    QCoro::Task<Result<HttpResponse>> send(QNetworkRequest request, QByteArray verb, QByteArray body = {});
    // Streams the body from `device` (which must stay open until the task ends) and reports the
    // upload progress as the transfer goes.
    QCoro::Task<Result<HttpResponse>> sendDevice(QNetworkRequest request, QByteArray verb, QIODevice *device,
                                                 Progress progress = {});

private:
    QCoro::Task<Result<HttpResponse>> finish(QNetworkReply *reply);
    QNetworkAccessManager *m_manager;
    std::chrono::milliseconds m_timeout;
};
