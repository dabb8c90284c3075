#pragma once

#include "cloud/oauth.h"
#include "clouduploader.h"
#include "googleauth.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "platform/milestone.h"
#include "platform/webauthsession.h"
#include "storedsignin.h"

#include <QDateTime>
#include <QObject>

class SecretStore;

namespace DropboxAuthError {
inline const QString domain = QStringLiteral("auth.dropbox");
enum Code : int { badResponse = 1, unknown, noCode, refreshFailed, notSignedIn };
Error make(Code code, const QString &text = {});
}

// The user's Dropbox account: OAuth sign-in with PKCE in the browser, answered on the custom
// scheme "vendrel://dropbox-auth" (the link reaches the running kavo, which hands it to
// deliverRedirect), the refresh token in the keychain, access tokens in memory. A failed refresh
// never signs the user out.
class DropboxAuth : public QObject, public CloudAuth, public AccessTokenSource
{
    Q_OBJECT
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY isSignedInChanged)
    Q_PROPERTY(QString accountEmail READ accountEmailText NOTIFY accountChanged)
    Q_PROPERTY(QString accountName READ accountNameText NOTIFY accountChanged)
public:
    static inline const QString keychainAccount = QStringLiteral("Vendrel.DropboxOAuth");
    static inline const QString redirectURI = QStringLiteral("vendrel://dropbox-auth");
    static inline const QString callbackURLScheme = QStringLiteral("vendrel");

    using Options = GoogleAuth::Options;

    DropboxAuth(Http *http, Endpoints endpoints, SecretStore *secrets, Options options, QObject *parent = nullptr);

    bool isSignedIn() const override { return m_isSignedIn; }
    QCoro::Task<void> restored() override { return m_stored.restored(); }
    bool isKeyringLocked() const override { return m_stored.isLocked(); }
    std::optional<QString> accountEmail() const { return m_accountEmail; }
    std::optional<QString> accountName() const { return m_accountName; }
    QString accountEmailText() const { return m_accountEmail.value_or(QString()); }
    QString accountNameText() const { return m_accountName.value_or(QString()); }

    // Concurrent callers share one sign-in and all get its outcome.
    QCoro::Task<Result<void>> signIn() override;
    QCoro::Task<Result<QString>> validAccessToken() override;
    void refuseAccessToken(const QString &token) override;
    Q_INVOKABLE void signOut();
    Q_INVOKABLE void cancelSignIn() override;
    // The redirect of a sign-in, as the single-instance channel received it.
    void deliverRedirect(const QUrl &callback);

    QUrl authorizationUrl(const QString &challenge, const QString &state) const;

Q_SIGNALS:
    void isSignedInChanged();
    void accountChanged();

private:
    // One browser sign-in, from the authorization page to the stored tokens.
    QCoro::Task<Result<void>> signInOnce();
    QCoro::Task<Result<HttpResponse>> postForm(QList<QPair<QString, QString>> fields);
    QCoro::Task<void> fetchAccount(QString accessToken);
    void setSignedIn(bool signedIn);
    void setAccount(const std::optional<QString> &email, const std::optional<QString> &name);

    Http *m_http;
    Endpoints m_endpoints;
    StoredSignIn m_stored;
    Options m_options;
    bool m_isSignedIn = false;
    std::optional<QString> m_accountEmail;
    std::optional<QString> m_accountName;
    std::optional<QString> m_accessToken;
    std::optional<QDateTime> m_accessTokenExpiry;
    QPointer<WebAuthSession> m_session;
    SharedSignIn m_sharedSignIn;
};
