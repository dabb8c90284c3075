#include "retry.h"

#include "uploaderror.h"

#include "cloud/authorizedcall.h"
#include "platform/http.h"

#include <QRandomGenerator>
#include <qcoro/qcorotimer.h>

#include <algorithm>

namespace Retry {

QCoro::Task<Result<HttpResponse>> sendWaitingOut(Http *http, AccessTokenSource *tokens, QNetworkRequest request, QByteArray verb,
                                                 QByteArray body, Error (*refusal)(const HttpResponse &), Pause pause)
{
    auto last = std::make_shared<std::optional<HttpResponse>>();
    const std::function<QCoro::Task<Result<HttpResponse>>()> attempt
        = [http, tokens, request, verb, body, refusal, last]() -> QCoro::Task<Result<HttpResponse>> {
        Result<HttpResponse> answer = co_await sendAuthorized(http, tokens, request, verb, body);
        if (answer && !answer->isSuccess()) {
            Error refused = refusal(*answer);
            if (refused.throttled) {
                *last = *answer;
                co_return refused;
            }
        }
        co_return answer;
    };
    QCoro::Task<Result<HttpResponse>> calling = withRetry(attempt, Hooks{std::move(pause), {}});
    const Result<HttpResponse> answer = co_await calling;
    if (!answer && answer.error().throttled && *last)
        co_return **last;
    co_return answer;
}

QCoro::Task<void> sleep(std::chrono::milliseconds duration)
{
    co_await QCoro::sleepFor(duration);
}

bool isTransient(const Error &error)
{
    if (error.domain != ErrorDomain::transport)
        return false;
    switch (error.code) {
    case TransportCode::secureConnectionFailed:
    case TransportCode::networkConnectionLost:
    case TransportCode::timedOut:
    case TransportCode::cannotConnectToHost:
        return true;
    default:
        return false;
    }
}

bool isUnreachable(const Error &error)
{
    return error.domain == ErrorDomain::transport
        && (error.code == TransportCode::notConnectedToInternet || error.code == TransportCode::cannotFindHost
            || error.code == TransportCode::cannotConnectToHost);
}

std::chrono::milliseconds pauseAfter(int failures)
{
    return failures == 1 ? std::chrono::seconds(1) : std::chrono::seconds(3);
}

std::chrono::milliseconds throttledWait(const Error &error, int throttled)
{
    if (error.retryAfter)
        return std::min(*error.retryAfter, longestRetryAfter);
    const qint64 full = qint64(1000) << std::clamp(throttled - 1, 0, 3);
    return std::chrono::milliseconds(full / 2 + qint64(QRandomGenerator::global()->bounded(double(full) / 2)));
}

std::chrono::milliseconds networkWait(int waits)
{
    return std::min<std::chrono::milliseconds>(firstNetworkWait * (qint64(1) << std::clamp(waits - 1, 0, 8)), longestNetworkWait);
}

void logRetry(int failures, std::chrono::milliseconds pause, const Error &error)
{
    qCInfo(lcUpload, "transient network error (attempt %ld/%ld) — retrying in %llus: %s", long(failures), long(maxAttempts),
           static_cast<unsigned long long>(pause.count() / 1000), qUtf8Printable(error.description));
}

void logThrottled(int throttled, std::chrono::milliseconds pause, const Error &error)
{
    qCInfo(lcUpload, "server asked to slow down (answer %ld/%ld) — retrying in %.1fs: %s", long(throttled), long(maxThrottledAnswers),
           double(pause.count()) / 1000, qUtf8Printable(error.description));
}

void logNetworkWait(std::chrono::milliseconds longest, const Error &error)
{
    qCInfo(lcUpload, "cannot reach the server — trying again when the network is back, at the latest in %llds: %s",
           static_cast<long long>(longest.count() / 1000), qUtf8Printable(error.description));
}

} // namespace Retry

QString userMessage(const Error &error)
{
    if (error.domain == UploadError::domain)
        return error.description;
    if (error.domain == ErrorDomain::transport) {
        switch (error.code) {
        case TransportCode::clientCertificateRejected:
        case TransportCode::serverCertificateUntrusted:
        case TransportCode::secureConnectionFailed:
            return QStringLiteral("Network issue — the secure connection failed. Try a different network (WiFi vs "
                                  "ethernet) or check for a captive-portal sign-in page.");
        case TransportCode::notConnectedToInternet:
            return QStringLiteral("You're offline. Reconnect and try again.");
        case TransportCode::networkConnectionLost:
        case TransportCode::cannotConnectToHost:
        case TransportCode::cannotFindHost:
        case TransportCode::timedOut:
            return QStringLiteral("Connection dropped during upload. Check your network and try again.");
        default:
            break;
        }
    }
    return error.description;
}
