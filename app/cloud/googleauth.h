#pragma once

#include "cloud/authorizedcall.h"
#include "cloud/oauth.h"
#include "clouduploader.h"
#include "platform/defaultsstore.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "platform/milestone.h"
#include "platform/webauthsession.h"
#include "storedsignin.h"

#include <QDateTime>
#include <QObject>

#include <functional>
#include <memory>

class Http;
class SecretStore;

namespace GoogleAuthError {
inline const QString domain = QStringLiteral("auth.google");
enum Code : int { unknown = 1, noCode, badResponse, refreshFailed, notSignedIn };
Error make(Code code);
}

// The user's Google account: OAuth sign-in with PKCE in the browser (redirect to a loopback
// listener), the refresh token in the keychain and mirrored into the suite for kavo-share, and
// short-lived access tokens in memory, refreshed 30 seconds before they run out.
class GoogleAuth : public QObject, public CloudAuth, public AccessTokenSource
{
    Q_OBJECT
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY isSignedInChanged)
    Q_PROPERTY(QString userEmail READ userEmailText NOTIFY userEmailChanged)
public:
    static inline const QString keychainAccount = QStringLiteral("Vendrel.GoogleOAuth");
    static inline const QString udRefreshTokenKey = QStringLiteral("kavo.shared.googleRefreshToken");
    static inline const QString scope = QStringLiteral("https://www.googleapis.com/auth/drive.file");
    static inline const QString redirectPath = QStringLiteral("/oauth2redirect");

    struct Options {
        WebAuthSession::BrowserLauncher browser = WebAuthSession::systemBrowser();
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
        std::chrono::milliseconds signInTimeout = WebAuthSession::defaultTimeout;
    };

    GoogleAuth(Http *http, Endpoints endpoints, SecretStore *secrets, DefaultsStore suite, Options options, QObject *parent = nullptr);

    bool isSignedIn() const override { return m_isSignedIn; }
    QCoro::Task<void> restored() override { return m_stored.restored(); }
    bool isKeyringLocked() const override { return m_stored.isLocked(); }
    std::optional<QString> userEmail() const { return m_userEmail; }
    QString userEmailText() const { return m_userEmail.value_or(QString()); }

    // Concurrent callers share one sign-in and all get its outcome.
    QCoro::Task<Result<void>> signIn() override;
    QCoro::Task<Result<QString>> validAccessToken() override;
    void refuseAccessToken(const QString &token) override;
    Q_INVOKABLE void signOut();
    // Ends a sign-in that is waiting for the browser.
    Q_INVOKABLE void cancelSignIn() override;

    QUrl authorizationUrl(const QUrl &redirectUri, const QString &challenge, const QString &state) const;

Q_SIGNALS:
    void isSignedInChanged();
    void userEmailChanged();

private:
    // One browser sign-in, from the authorization page to the stored tokens.
    QCoro::Task<Result<void>> signInOnce();
    QCoro::Task<Result<void>> exchangeCode(QString code, QString verifier, QUrl redirectUri);
    QCoro::Task<void> fetchEmail(QString accessToken);
    QCoro::Task<Result<QString>> refresh(QString refreshToken);
    QCoro::Task<Result<HttpResponse>> postForm(QList<QPair<QString, QString>> fields);
    void storeRefreshToken(const QString &token);
    // The token for kavo-share: in the suite only when the secrets themselves are in a plain file.
    void shareRefreshToken(const QString &token);
    void setSignedIn(bool signedIn);
    void setUserEmail(const std::optional<QString> &email);

    Http *m_http;
    Endpoints m_endpoints;
    StoredSignIn m_stored;
    DefaultsStore m_suite;
    Options m_options;
    bool m_isSignedIn = false;
    std::optional<QString> m_userEmail;
    std::optional<QString> m_accessToken;
    std::optional<QDateTime> m_accessTokenExpiry;
    QPointer<WebAuthSession> m_session;
    SharedSignIn m_sharedSignIn;
};
