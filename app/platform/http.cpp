#include "http.h"

#include <QIODevice>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QRegularExpression>
#include <QStringDecoder>
#include <qcoro/qcorosignal.h>

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

int transportCode(QNetworkReply::NetworkError error, bool userCancelled)
{
    switch (error) {
    case QNetworkReply::SslHandshakeFailedError:
        return TransportCode::secureConnectionFailed;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return TransportCode::networkConnectionLost;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return TransportCode::timedOut;
    case QNetworkReply::OperationCanceledError:
        // The transfer timeout aborts the reply exactly as a user's cancellation does.
        return userCancelled ? TransportCode::cancelled : TransportCode::timedOut;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        return TransportCode::cannotConnectToHost;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return TransportCode::cannotFindHost;
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
        return TransportCode::notConnectedToInternet;
    default:
        return TransportCode::unknown;
    }
}

QString withoutUrlQueries(const QString &text)
{
    static const QRegularExpression urlQuery(QStringLiteral(R"(([a-zA-Z][a-zA-Z0-9+.-]*://[^\s?#]*)\?[^\s#]*)"));
    QString result = text;
    result.replace(urlQuery, QStringLiteral("\\1"));
    return result;
}

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

Error transportError(QNetworkReply::NetworkError error, const QString &errorString, bool userCancelled)
{
    return Error{ErrorDomain::transport, transportCode(error, userCancelled), withoutUrlQueries(errorString)};
}

Http::Http(QNetworkAccessManager *manager, std::chrono::milliseconds timeout)
    : m_manager(manager)
    , m_timeout(timeout)
{
}

QCoro::Task<Result<HttpResponse>> Http::send(QNetworkRequest request, QByteArray verb, QByteArray body)
{
    request.setTransferTimeout(int(m_timeout.count()));
    QNetworkReply *reply = m_manager->sendCustomRequest(request, verb, body);
    co_return co_await finish(reply);
}

QCoro::Task<Result<HttpResponse>> Http::sendDevice(QNetworkRequest request, QByteArray verb, QIODevice *device,
                                                   Progress progress)
{
    request.setTransferTimeout(int(m_timeout.count()));
    QNetworkReply *reply = m_manager->sendCustomRequest(request, verb, device);
    if (progress)
        QObject::connect(reply, &QNetworkReply::uploadProgress, reply, progress);
    co_return co_await finish(reply);
}

QCoro::Task<Result<HttpResponse>> Http::finish(QNetworkReply *reply)
{
    QPointer<QNetworkReply> guard(reply);
    if (!reply->isFinished())
        co_await qCoro(reply, &QNetworkReply::finished);
    if (!guard)
        co_return Error{ErrorDomain::transport, TransportCode::cancelled, QStringLiteral("The request was cancelled.")};
    reply->deleteLater();

    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Errors below 200 are the connection's own (including a connection lost half-way through a
    // body): whatever status line came first, the answer is incomplete.
    const bool transportFailure = error != QNetworkReply::NoError && int(error) < 200;
    if (transportFailure || !status.isValid()) {
        const bool cancelled = reply->property("kavoUserCancelled").toBool();
        co_return transportError(error == QNetworkReply::NoError ? QNetworkReply::UnknownNetworkError : error,
                                 reply->errorString(), cancelled);
    }

    HttpResponse response;
    response.status = status.toInt();
    response.headers = reply->rawHeaderPairs();
    response.body = reply->readAll();
    co_return response;
}
