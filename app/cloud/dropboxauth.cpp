#include "dropboxauth.h"

#include "oauth.h"
#include "platform/secretstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <array>

namespace DropboxAuthError {
Error make(Code code, const QString &text)
{
    switch (code) {
    case badResponse:
        return {domain, code, QStringLiteral("Bad response from Dropbox: ") + text};
    case unknown:
        return {domain, code, QStringLiteral("Unknown Dropbox auth error.")};
    case noCode:
        return {domain, code, QStringLiteral("Dropbox didn't return an authorization code.")};
    case refreshFailed:
        return {domain, code, QStringLiteral("Dropbox token refresh failed — sign in again.")};
    case notSignedIn:
        return {domain, code, QStringLiteral("Not signed in to Dropbox.")};
    }
    Q_UNREACHABLE();
}
}

namespace {
Error failureOf(OAuthSignIn::Failure failure)
{
    using namespace DropboxAuthError;
    return make(std::array{unknown, noCode, refreshFailed, notSignedIn}.at(size_t(failure))); // in the order of Failure
}
}

DropboxAuth::DropboxAuth(Http *http, Endpoints endpoints, SecretStore *secrets, Options options, QObject *parent)
    : OAuthSignIn(http, std::move(endpoints), secrets, keychainAccount, failureOf, std::move(options), parent)
{
    start();
}

QUrl DropboxAuth::tokenUrl() const
{
    return Endpoints::join(m_endpoints.dropboxApiUrl, QStringLiteral("/oauth2/token"));
}

Result<QString> DropboxAuth::redirectFor(WebAuthSession *session)
{
    m_session = session;
    return QString(redirectURI);
}

QUrl DropboxAuth::authorizationPage(const QString &redirect, const QString &challenge, const QString &state) const
{
    QUrl url = Endpoints::join(m_endpoints.dropboxWebUrl, QStringLiteral("/oauth2/authorize"));
    QUrlQuery query;
    query.setQueryItems({
        {QStringLiteral("client_id"), m_endpoints.dropboxAppKey},
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("redirect_uri"), redirect},
        {QStringLiteral("code_challenge"), challenge},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
        {QStringLiteral("token_access_type"), QStringLiteral("offline")},
        {QStringLiteral("force_reapprove"), QStringLiteral("true")},
        {QStringLiteral("state"), state},
    });
    url.setQuery(query);
    return url;
}

void DropboxAuth::setAccount(const std::optional<QString> &email, const std::optional<QString> &name)
{
    if (m_accountEmail == email && m_accountName == name)
        return;
    m_accountEmail = email;
    m_accountName = name;
    Q_EMIT accountChanged();
}

void DropboxAuth::deliverRedirect(const QUrl &callback)
{
    if (m_session)
        m_session->deliver(callback);
}

QCoro::Task<Result<void>> DropboxAuth::exchangeCode(QString code, QString verifier, QString redirect)
{
    QPointer<DropboxAuth> self(this);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("code"), code},
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("client_id"), m_endpoints.dropboxAppKey},
        {QStringLiteral("redirect_uri"), redirect},
        {QStringLiteral("code_verifier"), verifier},
    };
    const Result<HttpResponse> response = co_await postForm(fields);
    if (!self)
        co_return DropboxAuthError::make(DropboxAuthError::unknown);
    if (!response)
        co_return response.error();
    const QString bodyText = decodeUtf8(response->body).value_or(QString());
    if (!response->isSuccess())
        co_return DropboxAuthError::make(DropboxAuthError::badResponse, bodyText);
    const Result<QJsonObject> json = jsonAnswer(*response, QStringLiteral("Dropbox"));
    if (!json)
        co_return json.error();
    const std::optional<Tokens> tokens = tokensIn(*json);
    if (!tokens || !tokens->refresh)
        co_return DropboxAuthError::make(DropboxAuthError::badResponse, bodyText);
    keepAccessToken(*tokens);
    m_stored.save(*tokens->refresh);
    co_return Result<void>();
}

QCoro::Task<void> DropboxAuth::fetchAccount(QString accessToken)
{
    QPointer<DropboxAuth> self(this);
    QNetworkRequest request(Endpoints::join(m_endpoints.dropboxApiUrl, QStringLiteral("/2/users/get_current_account")));
    request.setRawHeader("Authorization", "Bearer " + accessToken.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const Result<HttpResponse> response = co_await m_http->send(request, "POST", QByteArray("null"));
    if (!self || !response)
        co_return;
    const QJsonObject json = QJsonDocument::fromJson(response->body).object();
    const QJsonValue email = json.value(QStringLiteral("email"));
    const QJsonValue name = json.value(QStringLiteral("name")).toObject().value(QStringLiteral("display_name"));
    setAccount(email.isString() ? std::optional<QString>(email.toString()) : m_accountEmail,
               name.isString() ? std::optional<QString>(name.toString()) : m_accountName);
}

QCoro::Task<Result<QString>> DropboxAuth::refresh(QString refreshToken)
{
    QPointer<DropboxAuth> self(this);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
        {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("client_id"), m_endpoints.dropboxAppKey},
    };
    const Result<HttpResponse> response = co_await postForm(fields);
    if (!self)
        co_return DropboxAuthError::make(DropboxAuthError::refreshFailed);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return DropboxAuthError::make(DropboxAuthError::refreshFailed);
    const Result<QJsonObject> json = jsonAnswer(*response, QStringLiteral("Dropbox"));
    if (!json)
        co_return json.error();
    const std::optional<Tokens> tokens = tokensIn(*json);
    if (!tokens)
        co_return DropboxAuthError::make(DropboxAuthError::refreshFailed);
    // A refresh token in the answer is ignored: the stored one stays.
    co_return keepAccessToken(*tokens);
}
