#include "drivecleaner.h"

#include "cloud/clouduploader.h"
#include "cloud/driveuploader.h"
#include "cloud/googleauth.h"
#include "cloudcleanup.h"
#include "platform/http.h"
#include "service/backendapi.h"
#include "service/jsonreader.h"

#include <QJsonDocument>
#include <QPointer>

#include <cstdio>

namespace CleanerError {
Error driveHTTP(int status, const QByteArray &body)
{
    return Error{domain, status, QStringLiteral("Drive HTTP ") + QString::number(status) + QStringLiteral(": ") + quotedAnswer(body)};
}
}

DriveCleaner::DriveCleaner(BackendAPI *backend, CloudCleanup *cleanup, CloudAuth *google, AccessTokenSource *tokens, Options options,
                           QObject *parent)
    : QObject(parent)
    , m_backend(backend)
    , m_cleanup(cleanup)
    , m_google(google)
    , m_tokens(tokens)
    , m_options(std::move(options))
{
    if (!m_options.print) {
        m_options.print = [](const QString &line) {
            std::fputs(qUtf8Printable(line + QLatin1Char('\n')), stdout);
            std::fflush(stdout);
        };
    }
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { runScheduled(m_generation); });
}

void DriveCleaner::start()
{
    ++m_generation;
    m_timer.start(m_options.firstDelay);
}

QCoro::Task<void> DriveCleaner::runScheduled(quint64 generation)
{
    QPointer<DriveCleaner> self(this);
    co_await sweep();
    // The next pass is measured from the end of this one, unless start() began a new schedule.
    if (self && generation == m_generation)
        m_timer.start(m_options.period);
}

QCoro::Task<void> DriveCleaner::sweep()
{
    if (m_isRunning)
        co_return;
    m_isRunning = true;
    QPointer<DriveCleaner> self(this);
    const auto done = qScopeGuard([self] {
        if (self)
            self->m_isRunning = false;
    });
    // The first sweep comes at start, perhaps before the keychain has answered.
    co_await m_google->restored();
    if (!self || !m_google->isSignedIn())
        co_return;

    const Result<QList<BackendAPI::ExpiredLink>> expired = co_await m_backend->fetchExpired();
    if (!self)
        co_return;
    if (!expired) {
        m_options.print(QStringLiteral("DriveCleaner: fetchExpired failed: ") + expired.error().description);
        co_return;
    }
    if (expired->isEmpty())
        co_return;
    m_options.print(QStringLiteral("DriveCleaner: sweeping ") + QString::number(expired->size()) + QStringLiteral(" expired item(s)"));

    const Result<QString> token = co_await m_tokens->validAccessToken();
    if (!self)
        co_return;
    if (!token) {
        m_options.print(QStringLiteral("DriveCleaner: no access token, skipping: ") + token.error().description);
        co_return;
    }
    for (const BackendAPI::ExpiredLink &item : expired.value()) {
        const Result<void> deleted = co_await deleteDriveFile(item.driveFileID);
        if (!self)
            co_return;
        if (!deleted && deleted.error().is(CleanerError::domain, 404)) {
            // Already gone from Drive: the link only needs reporting, quietly.
            co_await m_backend->reportDeleted(item.token);
            if (!self)
                co_return;
            continue;
        }
        Result<void> outcome = deleted;
        if (outcome)
            outcome = co_await m_backend->reportDeleted(item.token);
        if (!self)
            co_return;
        if (!outcome)
            m_options.print(QStringLiteral("DriveCleaner: failed for ") + item.token + QStringLiteral(": ") + outcome.error().description);
    }
}

QCoro::Task<Result<void>> DriveCleaner::deleteDriveFile(QString fileID)
{
    // A pass can outlast the token it started with: each file is deleted with the current one.
    const Result<HttpResponse> response = co_await m_cleanup->deleteDriveFile(fileID);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return CleanerError::driveHTTP(response->status, response->body);
    co_return Result<void>();
}
