#pragma once

#include "cloud/authorizedcall.h"
#include "cloud/clouduploader.h"
#include "cloud/oauth.h"
#include "cloud/storedsignin.h"
#include "platform/endpoints.h"
#include "platform/http.h"
#include "platform/webauthsession.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

class SecretStore;

// What the Google and Dropbox sign-ins have in common: the interactive OAuth sign-in with PKCE in
// the browser (one at a time, callers sharing it), the refresh token kept by a StoredSignIn, and
// the access token in memory, used while it has more than 30 seconds left. Each provider says
// where its pages are, how it reads its token answers and what it tells the user.
class OAuthSignIn : public QObject, public CloudAuth, public AccessTokenSource
{
    Q_OBJECT
    Q_PROPERTY(bool isSignedIn READ isSignedIn NOTIFY isSignedInChanged)
public:
    struct Options {
        WebAuthSession::BrowserLauncher browser = WebAuthSession::systemBrowser();
        std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
        std::chrono::milliseconds signInTimeout = WebAuthSession::defaultTimeout;
    };
    // What every sign-in can meet, each said in the provider's own words by a plain function (a
    // sign-in may meet one after its object is gone).
    enum class Failure { unknown, noCode, refreshFailed, notSignedIn };
    using Failures = Error (*)(Failure failure);

    bool isSignedIn() const override { return m_isSignedIn; }
    QCoro::Task<void> restored() override { return m_stored.restored(); }
    bool isKeyringLocked() const override { return m_stored.isLocked(); }

    // Concurrent callers share one sign-in and all get its outcome.
    QCoro::Task<Result<void>> signIn() override;
    QCoro::Task<Result<QString>> validAccessToken() override;
    void refuseAccessToken(const QString &token) override;
    // Forgets the account here; nothing is sent to the provider.
    Q_INVOKABLE void signOut();
    // Ends a sign-in that is waiting for the browser.
    Q_INVOKABLE void cancelSignIn() override;

Q_SIGNALS:
    void isSignedInChanged();

protected:
    OAuthSignIn(Http *http, Endpoints endpoints, SecretStore *secrets, const QString &keychainAccount, Failures failures, Options options,
                QObject *parent);
    // Reads the stored sign-in; called by the provider once it is whole.
    void start() { m_stored.start(); }

    // The provider's name in "Your keyring is locked, so Kavo can't read your … sign-in".
    virtual QString signInName() const = 0;
    virtual QUrl tokenUrl() const = 0;
    // Where the browser is to send its answer: a listener this session opens, or a fixed address.
    virtual Result<QString> redirectFor(WebAuthSession *session) = 0;
    virtual QUrl authorizationPage(const QString &redirect, const QString &challenge, const QString &state) const = 0;
    // The code exchanged for tokens (kept with keepAccessToken and m_stored), then the account's
    // details fetched (failures there are ignored).
    virtual QCoro::Task<Result<void>> exchangeCode(QString code, QString verifier, QString redirect) = 0;
    virtual QCoro::Task<void> fetchAccount(QString accessToken) = 0;
    // A new access token from the stored refresh token.
    virtual QCoro::Task<Result<QString>> refresh(QString refreshToken) = 0;
    // A stored sign-in was read back; signs in.
    virtual void restoredFromStore(const QString &refreshToken);
    // What the provider keeps of the account beside the token, forgotten at sign-out.
    virtual void forgetAccount() = 0;

    QCoro::Task<Result<HttpResponse>> postForm(QList<QPair<QString, QString>> fields);
    // An answer's body as a JSON document, or the error that says it is none.
    static Result<QJsonObject> jsonAnswer(const HttpResponse &response, const QString &provider);
    // The access token of a token answer and its life, when both are there.
    struct Tokens {
        QString access;
        double expiresIn = 0;
        std::optional<QString> refresh;
    };
    static std::optional<Tokens> tokensIn(const QJsonObject &answer);
    QString keepAccessToken(const Tokens &tokens);
    void setSignedIn(bool signedIn);

    Http *m_http;
    Endpoints m_endpoints;
    Failures m_failures;
    StoredSignIn m_stored;
    Options m_options;

private:
    // One browser sign-in, from the authorization page to the stored tokens.
    QCoro::Task<Result<void>> signInOnce();

    bool m_isSignedIn = false;
    std::optional<QString> m_accessToken;
    std::optional<QDateTime> m_accessTokenExpiry;
    QPointer<WebAuthSession> m_session;
    SharedSignIn m_sharedSignIn;
};
