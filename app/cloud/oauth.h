#pragma once

#include "platform/error.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <qcoro/qcorotask.h>

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

// One interactive sign-in at a time: a caller that comes while one runs (two drops while signed
// out) does not start a second browser session over the first; it waits for the running one
// and gets its outcome.
class SharedSignIn : public QObject
{
    Q_OBJECT
public:
    using Start = std::function<QCoro::Task<Result<void>>()>;
    explicit SharedSignIn(QObject *parent = nullptr)
        : QObject(parent)
    {
    }
    bool isRunning() const { return m_running; }
    QCoro::Task<Result<void>> run(Start start);

Q_SIGNALS:
    void ended();

private:
    bool m_running = false;
    Result<void> m_outcome;
};
