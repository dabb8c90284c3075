#include "oauthsignin.h"

#include "platform/secretstore.h"

#include <QJsonDocument>
#include <QUrlQuery>

OAuthSignIn::OAuthSignIn(Http *http, Endpoints endpoints, SecretStore *secrets, const QString &keychainAccount, Failures failures,
                         Options options, QObject *parent)
    : QObject(parent)
    , m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_failures(failures)
    , m_stored(secrets, keychainAccount, this, [this](const QString &token) { restoredFromStore(token); })
    , m_options(std::move(options))
{
}

void OAuthSignIn::restoredFromStore(const QString &refreshToken)
{
    Q_UNUSED(refreshToken);
    setSignedIn(true);
}

void OAuthSignIn::setSignedIn(bool signedIn)
{
    if (m_isSignedIn == signedIn)
        return;
    m_isSignedIn = signedIn;
    Q_EMIT isSignedInChanged();
}

QCoro::Task<Result<HttpResponse>> OAuthSignIn::postForm(QList<QPair<QString, QString>> fields)
{
    QNetworkRequest request(tokenUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/x-www-form-urlencoded"));
    const QByteArray body = OAuth::formBody(fields);
    co_return co_await m_http->send(request, "POST", body);
}

Result<QJsonObject> OAuthSignIn::jsonAnswer(const HttpResponse &response, const QString &provider)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response.body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Error{QStringLiteral("json"), 1,
                     provider + QStringLiteral("'s answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(").")};
    return document.object();
}

std::optional<OAuthSignIn::Tokens> OAuthSignIn::tokensIn(const QJsonObject &answer)
{
    const QJsonValue access = answer.value(QStringLiteral("access_token"));
    const QJsonValue expiresIn = answer.value(QStringLiteral("expires_in"));
    if (!access.isString() || !expiresIn.isDouble())
        return std::nullopt;
    const QJsonValue refresh = answer.value(QStringLiteral("refresh_token"));
    return Tokens{access.toString(), expiresIn.toDouble(), refresh.isString() ? std::optional<QString>(refresh.toString()) : std::nullopt};
}

QString OAuthSignIn::keepAccessToken(const Tokens &tokens)
{
    m_accessToken = tokens.access;
    m_accessTokenExpiry = m_options.now().addMSecs(qint64(tokens.expiresIn * 1000));
    return tokens.access;
}

QCoro::Task<Result<void>> OAuthSignIn::signIn()
{
    SharedSignIn::Start once = [this] { return signInOnce(); };
    QCoro::Task<Result<void>> shared = m_sharedSignIn.run(once);
    co_return co_await shared;
}

QCoro::Task<Result<void>> OAuthSignIn::signInOnce()
{
    QPointer<OAuthSignIn> self(this);
    const Failures failure = m_failures;
    const QString verifier = OAuth::makeVerifier();
    auto *session = new WebAuthSession(m_options.browser, this);
    m_session = session;
    const Result<QString> redirect = redirectFor(session);
    if (!redirect) {
        session->deleteLater();
        co_return redirect.error();
    }
    // Only the browser this sign-in opened knows its state: another program that calls the
    // listener first, or a web page that opens the provider's link, does not end it.
    const QString state = OAuth::makeVerifier();
    session->expectState(state);
    const QUrl url = authorizationPage(*redirect, OAuth::challengeFor(verifier), state);
    QCoro::Task<Result<QUrl>> waiting = session->run(url, m_options.signInTimeout);
    const Result<QUrl> callback = co_await waiting;
    if (!self)
        co_return failure(Failure::unknown);
    // The session stays until the browser tab (where one waits for it) has been told how it ended.
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
        // The user who refuses consent is sent back with error=access_denied.
        const bool refused = QUrlQuery(callback.value()).queryItemValue(QStringLiteral("error")) == QLatin1String("access_denied");
        const Error noCode = failure(Failure::noCode);
        tell(refused ? WebAuthSession::Outcome::cancelled : WebAuthSession::Outcome::failed, refused ? QString() : noCode.description);
        co_return noCode;
    }

    const Result<void> exchanged = co_await exchangeCode(code, verifier, *redirect);
    if (!self)
        co_return failure(Failure::unknown);
    if (!exchanged) {
        tell(WebAuthSession::Outcome::failed, exchanged.error().description);
        co_return exchanged.error();
    }
    co_await fetchAccount(m_accessToken.value_or(QString()));
    if (!self)
        co_return Result<void>();
    setSignedIn(true);
    tell(WebAuthSession::Outcome::signedIn);
    co_return Result<void>();
}

void OAuthSignIn::cancelSignIn()
{
    if (m_session)
        m_session->cancel();
}

QCoro::Task<Result<QString>> OAuthSignIn::validAccessToken()
{
    if (m_accessToken && m_accessTokenExpiry && *m_accessTokenExpiry > m_options.now().addSecs(30))
        co_return QString(*m_accessToken);
    QPointer<OAuthSignIn> self(this);
    const Failures failure = m_failures;
    const SecretRead refreshToken = co_await m_stored.read();
    if (self && refreshToken.locked)
        co_return SecretStore::lockedError(signInName());
    if (!self || !refreshToken.value)
        co_return failure(Failure::notSignedIn);
    co_return co_await refresh(*refreshToken.value);
}

void OAuthSignIn::refuseAccessToken(const QString &token)
{
    if (m_accessToken == token)
        m_accessToken.reset();
}

void OAuthSignIn::signOut()
{
    m_stored.remove();
    m_accessToken.reset();
    m_accessTokenExpiry.reset();
    forgetAccount();
    setSignedIn(false);
}
