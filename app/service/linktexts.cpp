#include "linktexts.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QStringList>

#include <optional>

namespace LinkTexts {

QString sizeText(qint64 filesize)
{
    const auto bytes = double(filesize);
    if (filesize >= 1073741824)
        return QString::asprintf("%.1f GB", bytes / 1073741824.0);
    if (filesize >= 1048576)
        return QString::asprintf("%.1f MB", bytes / 1048576.0);
    if (filesize >= 1024)
        return QString::asprintf("%.1f KB", bytes / 1024.0);
    return QString::number(filesize) + QStringLiteral(" B");
}

QString summary(qint64 filesize, qint64 downloadCount, const QString &status)
{
    QStringList parts{sizeText(filesize)};
    if (downloadCount >= 1)
        parts.append(QString::number(downloadCount) + (downloadCount == 1 ? QStringLiteral(" download") : QStringLiteral(" downloads")));
    if (status == QLatin1String("expired"))
        parts.append(QStringLiteral("expired"));
    else if (status == QLatin1String("protected"))
        parts.append(QStringLiteral("password"));
    return parts.join(QStringLiteral(" · "));
}

namespace {
// An internet date-time (RFC 3339) without fractional seconds.
std::optional<QDateTime> internetDate(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(Z|[+-]\\d{2}:\\d{2})$"));
    if (!shape.match(text).hasMatch())
        return std::nullopt;
    const QDateTime moment = QDateTime::fromString(text, Qt::ISODate);
    return moment.isValid() ? std::optional(moment) : std::nullopt;
}
}

QString expiryDate(const QString &expiresAt)
{
    const std::optional<QDateTime> moment = internetDate(expiresAt);
    return moment ? QLocale().toString(moment->toLocalTime().date(), QStringLiteral("d MMM yyyy")) : QString();
}

QString expiryText(const QString &expiresAt)
{
    const QString date = expiryDate(expiresAt);
    if (date.isEmpty())
        return {};
    return (hasExpired(expiresAt) ? QStringLiteral("Expired ") : QStringLiteral("Expires ")) + date;
}

bool hasExpired(const QString &expiresAt)
{
    const std::optional<QDateTime> moment = internetDate(expiresAt);
    return moment && *moment < QDateTime::currentDateTimeUtc();
}

} // namespace LinkTexts
