#include "clouduploader.h"

#include <QLocale>

SendBudget::SendBudget(qint64 fileSize, qint64 requestSize)
    : m_fileSize(fileSize)
    , m_bytesLeft(2 * fileSize + (qint64(8) << 20))
    , m_requestsLeft(2 * (requestSize > 0 ? (fileSize + requestSize - 1) / requestSize : 1) + 8)
{
}

bool SendBudget::take(qint64 length)
{
    if (m_requestsLeft <= 0 || length > m_bytesLeft)
        return false;
    --m_requestsLeft;
    m_bytesLeft -= length;
    m_sent += length;
    return true;
}

Error SendBudget::exhausted(const QString &domain, StorageProvider provider) const
{
    const QLocale locale = QLocale::c();
    return Error{domain, exhaustedCode,
                 displayName(provider)
                     + QStringLiteral(" kept asking again for parts of the file it had been sent; the upload was stopped after ")
                     + locale.formattedDataSize(m_sent, 1, QLocale::DataSizeTraditionalFormat) + QStringLiteral(" for a file of ")
                     + locale.formattedDataSize(m_fileSize, 1, QLocale::DataSizeTraditionalFormat) + QLatin1Char('.')};
}
