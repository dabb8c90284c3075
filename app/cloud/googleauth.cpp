#include "googleauth.h"

#include "oauth.h"
#include "platform/http.h"
#include "platform/secretstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace GoogleAuthError {
Error make(Code code)
{
    switch (code) {
    case unknown:
        return {domain, code, QStringLiteral("Unknown authentication error.")};
    case noCode:
        return {domain, code, QStringLiteral("No authorization code returned.")};
    case badResponse:
        return {domain, code, QStringLiteral("Bad response from Google.")};
    case refreshFailed:
        return {domain, code, QStringLiteral("Could not refresh access token — please sign in again.")};
    case notSignedIn:
        return {domain, code, QStringLiteral("Not signed in.")};
    }
    Q_UNREACHABLE();
}
}

namespace {
QJsonObject objectOf(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}
}

GoogleAuth::GoogleAuth(Http *http, Endpoints endpoints, SecretStore *secrets, DefaultsStore suite, Options options, QObject *parent)
    : QObject(parent)
    , m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_stored(secrets, keychainAccount, this,
               [this](const QString &token) {
                   shareRefreshToken(token);
                   setSignedIn(true);
               })
    , m_suite(std::move(suite))
    , m_options(std::move(options))
{
    m_stored.start();
}

QUrl GoogleAuth::authorizationUrl(const QUrl &redirectUri, const QString &challenge, const QString &state) const
{
    QUrl url = Endpoints::join(m_endpoints.googleAuthUrl, QStringLiteral("/o/oauth2/v2/auth"));
    QUrlQuery query;
    query.setQueryItems({
        {QStringLiteral("client_id"), m_endpoints.googleClientId},
        {QStringLiteral("redirect_uri"), redirectUri.toString()},
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("scope"), scope},
        {QStringLiteral("code_challenge"), challenge},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
        {QStringLiteral("access_type"), QStringLiteral("offline")},
        {QStringLiteral("prompt"), QStringLiteral("consent")},
        {QStringLiteral("state"), state},
    });
    url.setQuery(query);
    return url;
}

void GoogleAuth::setSignedIn(bool signedIn)
{
    if (m_isSignedIn == signedIn)
        return;
    m_isSignedIn = signedIn;
    Q_EMIT isSignedInChanged();
}

void GoogleAuth::setUserEmail(const std::optional<QString> &email)
{
    if (m_userEmail == email)
        return;
    m_userEmail = email;
    Q_EMIT userEmailChanged();
}

void GoogleAuth::storeRefreshToken(const QString &token)
{
    m_stored.save(token);
    shareRefreshToken(token);
}

void GoogleAuth::shareRefreshToken(const QString &token)
{
    // Where the secret service keeps it, kavo-share reads it there: no plain-text copy.
    if (m_stored.keptPrivate())
        m_suite.remove(udRefreshTokenKey);
    else
        m_suite.setValue(udRefreshTokenKey, token);
}

QCoro::Task<Result<HttpResponse>> GoogleAuth::postForm(QList<QPair<QString, QString>> fields)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.googleTokenUrl, QStringLiteral("/token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    const QByteArray body = OAuth::formBody(fields);
    co_return co_await m_http->send(request, "POST", body);
}

QCoro::Task<Result<void>> GoogleAuth::signIn()
{
    SharedSignIn::Start once = [this] { return signInOnce(); };
    QCoro::Task<Result<void>> shared = m_sharedSignIn.run(once);
    co_return co_await shared;
}

QCoro::Task<Result<void>> GoogleAuth::signInOnce()
{
    QPointer<GoogleAuth> self(this);
    const QString verifier = OAuth::makeVerifier();
    auto *session = new WebAuthSession(m_options.browser, this);
    m_session = session;
    const Result<QUrl> redirectUri = session->listenOnLoopback(redirectPath);
    if (!redirectUri) {
        session->deleteLater();
        co_return redirectUri.error();
    }
    // Only the browser this sign-in opened knows its state: another program that calls the
    // listener first does not end it.
    const QString state = OAuth::makeVerifier();
    session->expectState(state);
    const QUrl url = authorizationUrl(redirectUri.value(), OAuth::challengeFor(verifier), state);
    QCoro::Task<Result<QUrl>> waiting = session->run(url, m_options.signInTimeout);
    const Result<QUrl> callback = co_await waiting;
    if (!self)
        co_return GoogleAuthError::make(GoogleAuthError::unknown);
    // The session stays until the browser tab has been told how it ended.
    const QPointer<WebAuthSession> tab(session);
    const auto tell = [tab](WebAuthSession::Outcome outcome, const QString &detail = {}) {
        if (!tab)
            return;
        tab->answerBrowser(outcome, detail);
        tab->deleteLater();
    };
    if (!callback) {
        tell(WebAuthSession::Outcome::cancelled);
        co_return callback.error();
    }

    const QString code = OAuth::codeFrom(callback.value());
    if (code.isEmpty()) {
        // Google sends the user who refuses consent back with error=access_denied.
        const bool refused = QUrlQuery(callback.value()).queryItemValue(QStringLiteral("error")) == QLatin1String("access_denied");
        const Error noCode = GoogleAuthError::make(GoogleAuthError::noCode);
        tell(refused ? WebAuthSession::Outcome::cancelled : WebAuthSession::Outcome::failed, refused ? QString() : noCode.description);
        co_return noCode;
    }

    const Result<void> exchanged = co_await exchangeCode(code, verifier, redirectUri.value());
    if (!self)
        co_return GoogleAuthError::make(GoogleAuthError::unknown);
    if (!exchanged) {
        tell(WebAuthSession::Outcome::failed, exchanged.error().description);
        co_return exchanged.error();
    }
    co_await fetchEmail(m_accessToken.value_or(QString()));
    if (!self)
        co_return Result<void>();
    setSignedIn(true);
    tell(WebAuthSession::Outcome::signedIn);
    co_return Result<void>();
}

void GoogleAuth::cancelSignIn()
{
    if (m_session)
        m_session->cancel();
}

QCoro::Task<Result<void>> GoogleAuth::exchangeCode(QString code, QString verifier, QUrl redirectUri)
{
    QPointer<GoogleAuth> self(this);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("client_id"), m_endpoints.googleClientId},
        {QStringLiteral("client_secret"), m_endpoints.googleClientSecret},
        {QStringLiteral("code"), code},
        {QStringLiteral("code_verifier"), verifier},
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("redirect_uri"), redirectUri.toString()},
    };
    const Result<HttpResponse> response = co_await postForm(fields);
    if (!self)
        co_return GoogleAuthError::make(GoogleAuthError::unknown);
    if (!response)
        co_return response.error();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response->body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        co_return Error{QStringLiteral("json"), 1,
                        QStringLiteral("Google's answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(").")};
    const QJsonObject json = document.object();
    const QJsonValue access = json.value(QStringLiteral("access_token"));
    const QJsonValue refreshToken = json.value(QStringLiteral("refresh_token"));
    const QJsonValue expiresIn = json.value(QStringLiteral("expires_in"));
    if (!access.isString() || !refreshToken.isString() || !expiresIn.isDouble())
        co_return GoogleAuthError::make(GoogleAuthError::badResponse);
    m_accessToken = access.toString();
    m_accessTokenExpiry = m_options.now().addMSecs(qint64(expiresIn.toDouble() * 1000));
    storeRefreshToken(refreshToken.toString());
    co_return Result<void>();
}

QCoro::Task<void> GoogleAuth::fetchEmail(QString accessToken)
{
    QPointer<GoogleAuth> self(this);
    // The drive.file scope may read Drive's "about" resource, which names the account; the
    // OpenID user-info endpoint gives no e-mail without the email scope.
    QUrl about = Endpoints::join(m_endpoints.googleApiUrl, QStringLiteral("/drive/v3/about"));
    about.setQuery(QStringLiteral("fields=user(displayName,emailAddress)"));
    QNetworkRequest request(about);
    request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    const Result<HttpResponse> response = co_await m_http->send(request, "GET");
    if (!self || !response || !response->isSuccess())
        co_return;
    const QJsonValue email = objectOf(response->body).value(QStringLiteral("user")).toObject().value(QStringLiteral("emailAddress"));
    if (email.isString() && !email.toString().isEmpty())
        setUserEmail(email.toString());
}

QCoro::Task<Result<QString>> GoogleAuth::validAccessToken()
{
    if (m_accessToken && m_accessTokenExpiry && *m_accessTokenExpiry > m_options.now().addSecs(30))
        co_return QString(*m_accessToken);
    QPointer<GoogleAuth> self(this);
    const SecretRead refreshToken = co_await m_stored.read();
    if (self && refreshToken.locked)
        co_return SecretStore::lockedError(QStringLiteral("Google sign-in"));
    if (!self || !refreshToken.value)
        co_return GoogleAuthError::make(GoogleAuthError::notSignedIn);
    co_return co_await refresh(*refreshToken.value);
}

QCoro::Task<Result<QString>> GoogleAuth::refresh(QString refreshToken)
{
    QPointer<GoogleAuth> self(this);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("client_id"), m_endpoints.googleClientId},
        {QStringLiteral("client_secret"), m_endpoints.googleClientSecret},
        {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
    };
    const Result<HttpResponse> response = co_await postForm(fields);
    if (!self)
        co_return GoogleAuthError::make(GoogleAuthError::refreshFailed);
    if (!response)
        co_return response.error();
    const QJsonObject json = objectOf(response->body);
    if (response->isSuccess()) {
        const QJsonValue access = json.value(QStringLiteral("access_token"));
        const QJsonValue expiresIn = json.value(QStringLiteral("expires_in"));
        if (!access.isString() || !expiresIn.isDouble())
            co_return GoogleAuthError::make(GoogleAuthError::refreshFailed);
        m_accessToken = access.toString();
        m_accessTokenExpiry = m_options.now().addMSecs(qint64(expiresIn.toDouble() * 1000));
        const QString rotated = json.value(QStringLiteral("refresh_token")).toString();
        if (!rotated.isEmpty())
            storeRefreshToken(rotated);
        co_return QString(*m_accessToken);
    }
    const QJsonValue errorValue = json.value(QStringLiteral("error"));
    const QString code = errorValue.isString() ? errorValue.toString() : QStringLiteral("http_") + QString::number(response->status);
    const QString detail = json.value(QStringLiteral("error_description")).toString();
    qWarning("%s", qUtf8Printable(QStringLiteral("[GoogleAuth] refresh failed: ") + shortened(code + QLatin1Char(' ') + detail)));
    if (code == QLatin1String("invalid_grant")) {
        m_stored.remove();
        setSignedIn(false);
        setUserEmail(std::nullopt);
    }
    co_return GoogleAuthError::make(GoogleAuthError::refreshFailed);
}

void GoogleAuth::signOut()
{
    m_stored.remove();
    m_suite.remove(udRefreshTokenKey);
    m_accessToken.reset();
    m_accessTokenExpiry.reset();
    setSignedIn(false);
    setUserEmail(std::nullopt);
}

void GoogleAuth::refuseAccessToken(const QString &token)
{
    if (m_accessToken == token)
        m_accessToken.reset();
}
