#pragma once

#include "cloud/oauthsignin.h"
#include "platform/defaultsstore.h"
#include "platform/sharednames.h"

namespace GoogleAuthError {
inline const QString domain = QStringLiteral("auth.google");
enum Code : int { unknown = 1, noCode, badResponse, refreshFailed, notSignedIn };
Error make(Code code);
}

// The user's Google account: the browser's answer comes to a loopback listener, the refresh
// token is mirrored into the suite for kavo-share (where the secrets are in a plain file), and a
// refresh the grant no longer allows ("invalid_grant") signs the user out.
class GoogleAuth : public OAuthSignIn
{
    Q_OBJECT
    Q_PROPERTY(QString userEmail READ userEmailText NOTIFY userEmailChanged)
public:
    static inline const QString keychainAccount = SharedNames::googleAccount;
    static inline const QString udRefreshTokenKey = SharedNames::googleRefreshTokenKey;
    static inline const QString scope = QStringLiteral("https://www.googleapis.com/auth/drive.file");
    static inline const QString redirectPath = QStringLiteral("/oauth2redirect");

    GoogleAuth(Http *http, Endpoints endpoints, SecretStore *secrets, DefaultsStore suite, Options options, QObject *parent = nullptr);

    std::optional<QString> userEmail() const { return m_userEmail; }
    QString userEmailText() const { return m_userEmail.value_or(QString()); }

Q_SIGNALS:
    void userEmailChanged();

protected:
    QString signInName() const override { return QStringLiteral("Google sign-in"); }
    QUrl tokenUrl() const override;
    Result<QString> redirectFor(WebAuthSession *session) override;
    QUrl authorizationPage(const QString &redirect, const QString &challenge, const QString &state) const override;
    QCoro::Task<Result<void>> exchangeCode(QString code, QString verifier, QString redirect) override;
    QCoro::Task<void> fetchAccount(QString accessToken) override;
    QCoro::Task<Result<QString>> refresh(QString refreshToken) override;
    void restoredFromStore(const QString &refreshToken) override;
    void forgetAccount() override;

private:
    void storeRefreshToken(const QString &token);
    // The token for kavo-share: in the suite only when the secrets themselves are in a plain file.
    void shareRefreshToken(const QString &token);
    void setUserEmail(const std::optional<QString> &email);

    DefaultsStore m_suite;
    std::optional<QString> m_userEmail;
};
