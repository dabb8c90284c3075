#include "placeholders.h"

namespace {
const QString placeholderDomain = QStringLiteral("kavo.unavailable");

Error unavailable(const QString &what)
{
    return Error{placeholderDomain, 1, what + QStringLiteral(" isn't available in this build of Kavo yet.")};
}
}

UnavailableUploader::UnavailableUploader(QString providerName)
    : m_providerName(std::move(providerName))
{
}

QCoro::Task<Result<CloudUploadResult>> UnavailableUploader::upload(QString, QString, ProgressCallback)
{
    co_return unavailable(QStringLiteral("Uploading to ") + m_providerName);
}

UnavailableAuth::UnavailableAuth(QString providerName)
    : m_providerName(std::move(providerName))
{
}

QCoro::Task<Result<void>> UnavailableAuth::signIn()
{
    co_return unavailable(QStringLiteral("Signing in to ") + m_providerName);
}

QCoro::Task<Result<Registration>> UnavailableLinkService::registerUpload(RegistrationRequest)
{
    co_return unavailable(QStringLiteral("Registering links with the Kavo service"));
}

QCoro::Task<Result<void>> UnavailableLinkService::setPassword(QString, QString)
{
    co_return unavailable(QStringLiteral("Changing link passwords"));
}

QCoro::Task<Result<QString>> UnavailableLinkService::rename(QString, QString)
{
    co_return unavailable(QStringLiteral("Renaming links"));
}

QCoro::Task<Result<std::optional<QString>>> UnavailableLinkService::setExpiry(QString, qint64)
{
    co_return unavailable(QStringLiteral("Changing link expiry"));
}

QCoro::Task<Result<void>> UnavailableLinkService::setPreset(QString, qint64)
{
    co_return unavailable(QStringLiteral("Changing link designs"));
}

QCoro::Task<void> NoHistory::refresh(int)
{
    co_return;
}
