#include "retry.h"

#include "uploaderror.h"

#include <qcoro/qcorotimer.h>

namespace Retry {

QCoro::Task<void> sleep(std::chrono::seconds duration)
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

std::chrono::seconds pauseAfter(int failures)
{
    return failures == 1 ? std::chrono::seconds(1) : std::chrono::seconds(3);
}

void logRetry(int failures, std::chrono::seconds pause, const Error &error)
{
    qCInfo(lcUpload, "transient network error (attempt %ld/%ld) — retrying in %llus: %s", long(failures),
           long(maxAttempts), static_cast<unsigned long long>(pause.count()), qUtf8Printable(error.description));
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
