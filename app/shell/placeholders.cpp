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
