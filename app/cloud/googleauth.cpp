#include "googleauth.h"

#include "oauth.h"
#include "platform/http.h"
#include "platform/secretstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <array>

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
Error failureOf(OAuthSignIn::Failure failure)
{
    using namespace GoogleAuthError;
    return make(std::array{unknown, noCode, refreshFailed, notSignedIn}.at(size_t(failure))); // in the order of Failure
}
}

GoogleAuth::GoogleAuth(Http *http, Endpoints endpoints, SecretStore *secrets, DefaultsStore suite, Options options, QObject *parent)
    : OAuthSignIn(http, std::move(endpoints), secrets, keychainAccount, failureOf, std::move(options), parent)
    , m_suite(std::move(suite))
{
    start();
}

QUrl GoogleAuth::tokenUrl() const
{
    return Endpoints::join(m_endpoints.googleTokenUrl, QStringLiteral("/token"));
}

Result<QString> GoogleAuth::redirectFor(WebAuthSession *session)
{
    const Result<QUrl> redirect = session->listenOnLoopback(redirectPath);
    if (!redirect)
        return redirect.error();
    return redirect->toString();
}

QUrl GoogleAuth::authorizationPage(const QString &redirect, const QString &challenge, const QString &state) const
{
    QUrl url = Endpoints::join(m_endpoints.googleAuthUrl, QStringLiteral("/o/oauth2/v2/auth"));
    QUrlQuery query;
    query.setQueryItems({
        {QStringLiteral("client_id"), m_endpoints.googleClientId},
        {QStringLiteral("redirect_uri"), redirect},
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

void GoogleAuth::setUserEmail(const std::optional<QString> &email)
{
    if (m_userEmail == email)
        return;
    m_userEmail = email;
    Q_EMIT userEmailChanged();
}

void GoogleAuth::restoredFromStore(const QString &refreshToken)
{
    shareRefreshToken(refreshToken);
    OAuthSignIn::restoredFromStore(refreshToken);
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

QCoro::Task<Result<void>> GoogleAuth::exchangeCode(QString code, QString verifier, QString redirect)
{
    QPointer<GoogleAuth> self(this);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("client_id"), m_endpoints.googleClientId},
        {QStringLiteral("client_secret"), m_endpoints.googleClientSecret},
        {QStringLiteral("code"), code},
        {QStringLiteral("code_verifier"), verifier},
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("redirect_uri"), redirect},
    };
    const Result<HttpResponse> response = co_await postForm(fields);
    if (!self)
        co_return GoogleAuthError::make(GoogleAuthError::unknown);
    if (!response)
        co_return response.error();
    // Google's status is not looked at: its refusals are JSON without the tokens.
    const Result<QJsonObject> json = jsonAnswer(*response, QStringLiteral("Google"));
    if (!json)
        co_return json.error();
    const std::optional<Tokens> tokens = tokensIn(*json);
    if (!tokens || !tokens->refresh)
        co_return GoogleAuthError::make(GoogleAuthError::badResponse);
    keepAccessToken(*tokens);
    storeRefreshToken(*tokens->refresh);
    co_return Result<void>();
}

QCoro::Task<void> GoogleAuth::fetchAccount(QString accessToken)
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
    const QJsonValue email
        = QJsonDocument::fromJson(response->body).object().value(QStringLiteral("user")).toObject().value(QStringLiteral("emailAddress"));
    if (email.isString() && !email.toString().isEmpty())
        setUserEmail(email.toString());
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
    const QJsonObject json = QJsonDocument::fromJson(response->body).object();
    if (response->isSuccess()) {
        const std::optional<Tokens> tokens = tokensIn(json);
        if (!tokens)
            co_return GoogleAuthError::make(GoogleAuthError::refreshFailed);
        if (tokens->refresh && !tokens->refresh->isEmpty())
            storeRefreshToken(*tokens->refresh);
        co_return keepAccessToken(*tokens);
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

void GoogleAuth::forgetAccount()
{
    m_suite.remove(udRefreshTokenKey);
    setUserEmail(std::nullopt);
}
