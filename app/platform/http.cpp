#include "http.h"

#include "bulktransfer.h"
#include "proxy.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QPointer>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QStringDecoder>
#include <QTimeZone>
#include <QTimer>
#include <algorithm>
#include <qcoro/qcorosignal.h>

QByteArray HttpResponse::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

std::optional<std::chrono::milliseconds> retryAfterDelay(const QByteArray &value, const QDateTime &now)
{
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool isNumber = false;
    const qint64 seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds < 0 ? std::nullopt : std::optional(std::chrono::milliseconds(seconds * 1000));
    // An HTTP date: IMF-fixdate ("Sun, 06 Nov 1994 08:49:37 GMT"), always in English and GMT.
    QDateTime when = QLocale::c().toDateTime(QString::fromLatin1(text), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    when.setTimeZone(QTimeZone::utc());
    if (!when.isValid())
        return std::nullopt;
    return std::chrono::milliseconds(std::max<qint64>(0, now.msecsTo(when)));
}

Error redirectedElsewhere(const QUrl &from, const QUrl &to)
{
    return Error{ErrorDomain::transport, TransportCode::redirectedElsewhere,
                 QStringLiteral("%1 sent Kavo on to another site (%2); Kavo doesn't follow it there with your sign-in.")
                     .arg(from.host(), to.host().isEmpty() ? QStringLiteral("an unknown address") : to.authority())};
}

Error throttled(Error error, const HttpResponse &response, const QDateTime &now)
{
    error.throttled = true;
    error.retryAfter = retryAfterDelay(response.header("Retry-After"), now);
    return error;
}

Error throttling(Error error, const HttpResponse &response, const QDateTime &now)
{
    if (response.status == 429 || response.status == 503)
        return throttled(std::move(error), response, now);
    return error;
}

int transportCode(QNetworkReply::NetworkError error, ReplyFlags flags)
{
    switch (error) {
    case QNetworkReply::SslHandshakeFailedError:
        return flags.certificateRejected ? TransportCode::serverCertificateUntrusted : TransportCode::secureConnectionFailed;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return TransportCode::networkConnectionLost;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return TransportCode::timedOut;
    case QNetworkReply::OperationCanceledError:
        // The transfer timeout aborts the reply exactly as a user's cancellation does.
        return flags.userCancelled ? TransportCode::cancelled : TransportCode::timedOut;
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

Error fileReadError(const QFile &file)
{
    return Error{ErrorDomain::file, int(file.error()),
                 QStringLiteral("Couldn't read ") + QFileInfo(file.fileName()).fileName() + QStringLiteral(": ") + file.errorString()};
}

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    auto decoder = QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QString shortened(const QString &text)
{
    if (text.size() <= maxQuotedAnswer)
        return text;
    qsizetype cut = maxQuotedAnswer - 1;
    if (text.at(cut - 1).isHighSurrogate())
        --cut;
    return text.left(cut) + QChar(0x2026);
}

QString quotedAnswer(const QByteArray &body)
{
    return shortened(decodeUtf8(body).value_or(QString()));
}

bool noNetworkFor(const QString &host)
{
    const QHostAddress address(host);
    const bool loopback = host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || address.isLoopback();
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    return std::ranges::none_of(interfaces, [loopback](const QNetworkInterface &interface) {
        const QNetworkInterface::InterfaceFlags flags = interface.flags();
        const bool up = flags.testFlag(QNetworkInterface::IsUp) && flags.testFlag(QNetworkInterface::IsRunning);
        return up && flags.testFlag(QNetworkInterface::IsLoopBack) == loopback;
    });
}

int offlineAware(int code, const QString &host, const QString &failureText)
{
    // Qt words the socket's ENETUNREACH/ENETDOWN and EHOSTUNREACH in these words.
    if (failureText.contains(QLatin1String("network unreachable"), Qt::CaseInsensitive)
        || failureText.contains(QLatin1String("network is unreachable"), Qt::CaseInsensitive)
        || failureText.contains(QLatin1String("network is down"), Qt::CaseInsensitive))
        return TransportCode::notConnectedToInternet;
    if (failureText.contains(QLatin1String("host unreachable"), Qt::CaseInsensitive)
        || failureText.contains(QLatin1String("no route to host"), Qt::CaseInsensitive))
        return TransportCode::cannotConnectToHost;
    const bool connecting
        = code == TransportCode::cannotFindHost || code == TransportCode::cannotConnectToHost || code == TransportCode::unknown;
    if (connecting && noNetworkFor(host))
        return TransportCode::notConnectedToInternet;
    return code;
}

Error transportError(QNetworkReply::NetworkError error, const QString &errorString, ReplyFlags flags)
{
    return Error{ErrorDomain::transport, transportCode(error, flags), withoutUrlQueries(errorString)};
}

Http::Http(QNetworkAccessManager *manager, std::chrono::milliseconds timeout, QByteArray extraCaPem)
    : m_manager(manager)
    , m_timeout(timeout)
    , m_bulk(std::make_unique<BulkTransfers>(timeout, extraCaPem))
{
    m_manager->setProxyFactory(new EnvironmentProxyFactory);
    if (!extraCaPem.isEmpty()) {
        // The system's store is read (some hundred certificates parsed) once per process.
        static const QList<QSslCertificate> systemCertificates = QSslConfiguration::systemCaCertificates();
        m_tls = std::make_unique<QSslConfiguration>(QSslConfiguration::defaultConfiguration());
        m_tls->setCaCertificates(systemCertificates + QSslCertificate::fromData(extraCaPem, QSsl::Pem));
    }
}

Http::~Http() = default;

Error Http::answerTooLarge(qsizetype limit)
{
    return Error{ErrorDomain::transport, TransportCode::dataLengthExceedsMaximum,
                 QStringLiteral("The server's answer was refused: it was longer than %1 MiB.").arg(double(limit) / (1 << 20))};
}

namespace {
bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const auto port
        = [](const QUrl &url) { return url.port(url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80); };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && port(a) == port(b);
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
}

QCoro::Task<Result<HttpResponse>> Http::send(QNetworkRequest request, QByteArray verb, QByteArray body, const QObject *cancelWhenGone,
                                             qsizetype answerLimit)
{
    // Every call here carries a credential (a key, a token, a client secret, a registration):
    // a redirect is followed only within the origin it was made for, never to another host
    // (a caller that follows none keeps its choice). Kavo follows them itself: Qt's own
    // following of a 307 with a body failed now and then ("Unknown error") on a busy machine.
    const QVariant policy = request.attribute(QNetworkRequest::RedirectPolicyAttribute);
    const bool follow = !policy.isValid() || policy.toInt() != QNetworkRequest::ManualRedirectPolicy;
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (int hops = 0;; ++hops) {
        QCoro::Task<Result<HttpResponse>> sending = sendOne(request, verb, body, cancelWhenGone, answerLimit);
        Result<HttpResponse> answer = co_await sending;
        if (!follow || !answer || !isRedirect(answer->status) || answer->header("Location").isEmpty() || hops >= 5)
            co_return answer;
        const QUrl target = request.url().resolved(QUrl::fromEncoded(answer->header("Location")));
        if (!sameOrigin(request.url(), target))
            co_return redirectedElsewhere(request.url(), target);
        // 307 and 308 repeat the request as it was; the others turn it into a GET without a body.
        if (answer->status != 307 && answer->status != 308 && verb != "GET" && verb != "HEAD") {
            verb = "GET";
            body.clear();
            request.setHeader(QNetworkRequest::ContentTypeHeader, QVariant());
        }
        request.setUrl(target);
    }
}

QCoro::Task<Result<HttpResponse>> Http::sendOne(QNetworkRequest request, QByteArray verb, QByteArray body, const QObject *cancelWhenGone,
                                                qsizetype answerLimit)
{
    // A proxy setting that cannot be honoured refuses the request instead of going around it.
    const Result<ProxyChoice> proxy = ProxyEnvironment::choose(request.url());
    if (!proxy)
        co_return proxy.error();
    if (m_tls)
        request.setSslConfiguration(*m_tls);
    // Uncompressed: the bound below is then on the bytes that arrive, and a small compressed body
    // cannot unpack into a huge one (answers are small JSON objects).
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = m_manager->sendCustomRequest(request, verb, body);
    reply->setProperty("kavoProxied", !proxy->isDirect());
    // The whole answer must arrive in time: a server that sends a byte now and then is never idle.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty("kavoDeadlinePassed", true);
        reply->abort();
    });
    deadline->start(m_timeout);
    // An answer is refused as soon as it says or shows it is too long; nothing more is kept.
    const auto refuseIfTooLong = [reply, answerLimit](qint64 length) {
        if (length > answerLimit && !reply->property("kavoTooLarge").toBool()) {
            reply->setProperty("kavoTooLarge", true);
            reply->abort();
        }
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                     [reply, refuseIfTooLong] { refuseIfTooLong(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [refuseIfTooLong](qint64 received, qint64) { refuseIfTooLong(received); });
    // Verification failures come before the handshake's error; they make it "untrusted".
    QObject::connect(reply, &QNetworkReply::sslErrors, reply, [reply] { reply->setProperty("kavoCertificateRejected", true); });
    if (cancelWhenGone) {
        QObject::connect(cancelWhenGone, &QObject::destroyed, reply, [reply] {
            reply->setProperty("kavoUserCancelled", true);
            reply->abort();
        });
    }
    co_return co_await finish(reply, answerLimit);
}

QCoro::Task<Result<HttpResponse>> Http::sendFile(QByteArray verb, QUrl url, Headers headers, QFile *file, qint64 offset, qint64 length,
                                                 Progress progress)
{
    BulkTransfers::Request request;
    request.verb = std::move(verb);
    request.url = std::move(url);
    request.headers = std::move(headers);
    request.fd = file->handle();
    request.offset = offset;
    request.length = length;
    request.fileName = QFileInfo(file->fileName()).fileName();
    co_return co_await m_bulk->send(std::move(request), std::move(progress));
}

QCoro::Task<Result<HttpResponse>> Http::sendOnce(QNetworkRequest request, QByteArray verb, QByteArray body)
{
    BulkTransfers::Request once;
    once.verb = std::move(verb);
    once.url = request.url();
    for (const QByteArray &name : request.rawHeaderList())
        once.headers.append({name, request.rawHeader(name)});
    if (const QVariant type = request.header(QNetworkRequest::ContentTypeHeader); type.isValid())
        once.headers.append({"Content-Type", type.toByteArray()});
    once.length = body.size();
    once.body = std::move(body);
    once.freshConnection = true;
    for (int hops = 0;; ++hops) {
        Result<HttpResponse> answer = co_await m_bulk->send(once, {});
        if (!answer
            || (answer->status != 307 && answer->status != 308 && answer->status != 301 && answer->status != 302 && answer->status != 303))
            co_return answer;
        const QUrl target = once.url.resolved(QUrl::fromEncoded(answer->header("Location")));
        if (!sameOrigin(once.url, target))
            co_return redirectedElsewhere(once.url, target);
        // Within the origin, only the redirects that keep the method and body are followed.
        if ((answer->status != 307 && answer->status != 308) || hops >= 5)
            co_return answer;
        once.url = target;
    }
}

void Http::cancelTransfers()
{
    m_bulk->cancelAll();
}

QCoro::Task<Result<HttpResponse>> Http::finish(QNetworkReply *reply, qsizetype answerLimit)
{
    QPointer<QNetworkReply> guard(reply);
    if (!reply->isFinished())
        co_await qCoro(reply, &QNetworkReply::finished);
    if (!guard)
        co_return Error{ErrorDomain::transport, TransportCode::cancelled, QStringLiteral("The request was cancelled.")};
    reply->deleteLater();

    if (reply->property("kavoTooLarge").toBool())
        co_return answerTooLarge(answerLimit);
    if (reply->property("kavoDeadlinePassed").toBool())
        co_return Error{ErrorDomain::transport, TransportCode::timedOut,
                        QStringLiteral("The request timed out: no whole answer within %1 s.").arg(double(m_timeout.count()) / 1000.0)};
    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Errors below 200 are the connection's own (including a connection lost half-way through a
    // body): whatever status line came first, the answer is incomplete.
    const bool transportFailure = error != QNetworkReply::NoError && int(error) < 200;
    if (transportFailure || !status.isValid()) {
        ReplyFlags flags;
        flags.userCancelled = reply->property("kavoUserCancelled").toBool();
        flags.certificateRejected = reply->property("kavoCertificateRejected").toBool();
        QNetworkReply::NetworkError reported = error == QNetworkReply::NoError ? QNetworkReply::UnknownNetworkError : error;
        // Qt 6.4 reports a proxy that cannot be reached for an https request as an unknown
        // error ("Proxy connection refused"); libcurl says it could not connect, and so do we.
        if (reported == QNetworkReply::UnknownNetworkError && reply->property("kavoProxied").toBool())
            reported = QNetworkReply::ProxyConnectionRefusedError;
        Error failure = transportError(reported, reply->errorString(), flags);
        if (!reply->property("kavoProxied").toBool())
            failure.code = offlineAware(failure.code, reply->url().host(), reply->errorString());
        co_return failure;
    }

    HttpResponse response;
    response.status = status.toInt();
    response.headers = reply->rawHeaderPairs();
    response.body = reply->readAll();
    co_return response;
}
