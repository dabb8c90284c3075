#include "dropboxauth.h"

#include "oauth.h"
#include "platform/secretstore.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

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

DropboxAuth::DropboxAuth(Http *http, Endpoints endpoints, SecretStore *secrets, Options options, QObject *parent)
    : QObject(parent)
    , m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_stored(secrets, keychainAccount, this, [this](const QString &) { setSignedIn(true); })
    , m_options(std::move(options))
{
    m_stored.start();
}

QUrl DropboxAuth::authorizationUrl(const QString &challenge, const QString &state) const
{
    QUrl url = Endpoints::join(m_endpoints.dropboxWebUrl, QStringLiteral("/oauth2/authorize"));
    QUrlQuery query;
    query.setQueryItems({
        {QStringLiteral("client_id"), m_endpoints.dropboxAppKey},
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("redirect_uri"), redirectURI},
        {QStringLiteral("code_challenge"), challenge},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
        {QStringLiteral("token_access_type"), QStringLiteral("offline")},
        {QStringLiteral("force_reapprove"), QStringLiteral("true")},
        {QStringLiteral("state"), state},
    });
    url.setQuery(query);
    return url;
}

void DropboxAuth::setSignedIn(bool signedIn)
{
    if (m_isSignedIn == signedIn)
        return;
    m_isSignedIn = signedIn;
    Q_EMIT isSignedInChanged();
}

void DropboxAuth::setAccount(const std::optional<QString> &email, const std::optional<QString> &name)
{
    if (m_accountEmail == email && m_accountName == name)
        return;
    m_accountEmail = email;
    m_accountName = name;
    Q_EMIT accountChanged();
}

QCoro::Task<Result<HttpResponse>> DropboxAuth::postForm(QList<QPair<QString, QString>> fields)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.dropboxApiUrl, QStringLiteral("/oauth2/token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    const QByteArray body = OAuth::formBody(fields);
    co_return co_await m_http->send(request, "POST", body);
}

void DropboxAuth::deliverRedirect(const QUrl &callback)
{
    if (m_session)
        m_session->deliver(callback);
}

void DropboxAuth::cancelSignIn()
{
    if (m_session)
        m_session->cancel();
}

QCoro::Task<Result<void>> DropboxAuth::signIn()
{
    SharedSignIn::Start once = [this] { return signInOnce(); };
    QCoro::Task<Result<void>> shared = m_sharedSignIn.run(once);
    co_return co_await shared;
}

QCoro::Task<Result<void>> DropboxAuth::signInOnce()
{
    QPointer<DropboxAuth> self(this);
    const QString verifier = OAuth::makeVerifier();
    auto *session = new WebAuthSession(m_options.browser, this);
    m_session = session;
    // A vendrel:// link any web page could open reaches Kavo too: only the one with this
    // sign-in's state ends it.
    const QString state = OAuth::makeVerifier();
    session->expectState(state);
    const QUrl url = authorizationUrl(OAuth::challengeFor(verifier), state);
    QCoro::Task<Result<QUrl>> waiting = session->run(url, m_options.signInTimeout);
    const Result<QUrl> callback = co_await waiting;
    if (!self)
        co_return DropboxAuthError::make(DropboxAuthError::unknown);
    session->deleteLater();
    if (!callback)
        co_return callback.error();
    const QString code = OAuth::codeFrom(callback.value());
    if (code.isEmpty())
        co_return DropboxAuthError::make(DropboxAuthError::noCode);

    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("code"), code},
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("client_id"), m_endpoints.dropboxAppKey},
        {QStringLiteral("redirect_uri"), redirectURI},
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
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response->body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        co_return Error{QStringLiteral("json"), 1,
                        QStringLiteral("Dropbox's answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(").")};
    const QJsonObject json = document.object();
    const QJsonValue access = json.value(QStringLiteral("access_token"));
    const QJsonValue refresh = json.value(QStringLiteral("refresh_token"));
    const QJsonValue expiresIn = json.value(QStringLiteral("expires_in"));
    if (!access.isString() || !refresh.isString() || !expiresIn.isDouble())
        co_return DropboxAuthError::make(DropboxAuthError::badResponse, bodyText);
    m_accessToken = access.toString();
    m_accessTokenExpiry = m_options.now().addMSecs(qint64(expiresIn.toDouble() * 1000));
    m_stored.save(refresh.toString());

    co_await fetchAccount(*m_accessToken);
    if (!self)
        co_return Result<void>();
    setSignedIn(true);
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

QCoro::Task<Result<QString>> DropboxAuth::validAccessToken()
{
    QPointer<DropboxAuth> self(this);
    if (m_accessToken && m_accessTokenExpiry && *m_accessTokenExpiry > m_options.now().addSecs(30))
        co_return QString(*m_accessToken);
    const SecretRead stored = co_await m_stored.read();
    if (self && stored.locked)
        co_return SecretStore::lockedError(QStringLiteral("Dropbox sign-in"));
    const std::optional<QString> refreshToken = stored.value;
    if (!self || !refreshToken)
        co_return DropboxAuthError::make(DropboxAuthError::notSignedIn);
    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
        {QStringLiteral("refresh_token"), *refreshToken},
        {QStringLiteral("client_id"), m_endpoints.dropboxAppKey},
    };
    const Result<HttpResponse> response = co_await postForm(fields);
    if (!self)
        co_return DropboxAuthError::make(DropboxAuthError::refreshFailed);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return DropboxAuthError::make(DropboxAuthError::refreshFailed);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response->body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        co_return Error{QStringLiteral("json"), 1,
                        QStringLiteral("Dropbox's answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(").")};
    const QJsonValue access = document.object().value(QStringLiteral("access_token"));
    const QJsonValue expiresIn = document.object().value(QStringLiteral("expires_in"));
    if (!access.isString() || !expiresIn.isDouble())
        co_return DropboxAuthError::make(DropboxAuthError::refreshFailed);
    // A refresh token in the answer is ignored: the stored one stays.
    m_accessToken = access.toString();
    m_accessTokenExpiry = m_options.now().addMSecs(qint64(expiresIn.toDouble() * 1000));
    co_return QString(*m_accessToken);
}

void DropboxAuth::signOut()
{
    m_stored.remove();
    m_accessToken.reset();
    m_accessTokenExpiry.reset();
    setSignedIn(false);
    setAccount(std::nullopt, std::nullopt);
}

void DropboxAuth::refuseAccessToken(const QString &token)
{
    if (m_accessToken == token)
        m_accessToken.reset();
}
