#pragma once

#include <QString>

// Where the tray keeps what kavo-share reads: the contract between the two programs. The
// secrets are items of the secret store; the suite (DefaultsStore::suite) holds plain copies
// only where the secrets themselves are in a plain file.
namespace SharedNames {
// Secret-store accounts.
inline const QString serviceKeyAccount = QStringLiteral("Vendrel.BackendApiKey");
inline const QString googleAccount = QStringLiteral("Vendrel.GoogleOAuth");
inline const QString dropboxAccount = QStringLiteral("Vendrel.DropboxOAuth");
// Keys of the suite.
inline const QString serviceKeyKey = QStringLiteral("kavo.shared.apiKey");
inline const QString googleRefreshTokenKey = QStringLiteral("kavo.shared.googleRefreshToken");
}
