#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

// Pieces shared by the Google and Dropbox sign-ins.
namespace OAuth {
// PKCE (RFC 7636): 32 secure random bytes as URL-safe Base64 without padding (43 characters),
// and its S256 challenge.
QString makeVerifier();
QString challengeFor(const QString &verifier);
// An application/x-www-form-urlencoded body. Names and values are percent-encoded in full, so a
// value holding "&", "=" or "+" reaches the server as sent.
QByteArray formBody(const QList<QPair<QString, QString>> &fields);
// The first "code" query item of a redirect that has a value, or an empty string.
QString codeFrom(const QUrl &callback);
}
