#pragma once

#include <QString>

// What a link's row says of it, for the panel's history rows and `kavo links`.
namespace LinkTexts {
// "2.4 MB", "300 B".
QString sizeText(qint64 filesize);
// "2.4 MB · 3 downloads · password".
QString summary(qint64 filesize, qint64 downloadCount, const QString &status);
// "Expires 5 Dec 2026" / "Expired 5 Dec 2026", or "" when `expiresAt` is not an internet
// date-time without fractional seconds.
QString expiryText(const QString &expiresAt);
// Its date alone, "5 Dec 2026"; "" as above.
QString expiryDate(const QString &expiresAt);
bool hasExpired(const QString &expiresAt);
}
