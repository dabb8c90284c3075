#include "shareupload.h"

#include "cloud/driveuploader.h"
#include "cloud/oauth.h"
#include "platform/http.h"
#include "platform/secretstore.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeDatabase>
#include <QUrlQuery>

namespace ShareError {
Error driveFailed(const QString &text)
{
    return Error{domain, int(Code::driveFailed), text};
}
Error backendFailed(const QString &text)
{
    return Error{domain, int(Code::backendFailed), text};
}
Error notSignedIn()
{
    return Error{domain, int(Code::notSignedIn), QStringLiteral("Sign in to Kavo first — open the Kavo menu bar app.")};
}
Error authFailed()
{
    return Error{domain, int(Code::authFailed), QStringLiteral("Google sign-in expired. Re-connect Google Drive in the Kavo app.")};
}
}

namespace {

QJsonObject objectOf(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

} // namespace

ShareUpload::ShareUpload(Http *http, Endpoints endpoints, DefaultsStore suite, SecretStore *secrets)
    : m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_suite(std::move(suite))
    , m_secrets(secrets)
{
}

QString ShareUpload::sharedText(const QString &key) const
{
    return m_suite.value(key).toString();
}

QCoro::Task<Result<QString>> ShareUpload::perform(QUrl file, qint64 expiryDays)
{
    QString apiKey, refreshToken;
    if (m_secrets) {
        const SecretRead key = co_await m_secrets->read(SharedNames::serviceKeyAccount);
        const SecretRead google = co_await m_secrets->read(SharedNames::googleAccount);
        if (key.locked || google.locked)
            co_return SecretStore::lockedError(QStringLiteral("sign-in"));
        apiKey = key.value.value_or(QString());
        refreshToken = google.value.value_or(QString());
    }
    // The suite holds them where the secrets are kept in a plain file (and for a tray of before).
    if (apiKey.isEmpty())
        apiKey = sharedText(apiKeyKey);
    if (refreshToken.isEmpty())
        refreshToken = sharedText(refreshTokenKey);
    if (apiKey.isEmpty() || refreshToken.isEmpty())
        co_return ShareError::notSignedIn();
    if (refreshToken != m_refreshToken) {
        m_refreshToken = refreshToken;
        m_accessToken.reset();
    }

    const Result<QString> folder = co_await findOrCreateFolder();
    if (!folder)
        co_return folder.error();

    const QString path = file.isLocalFile() ? file.toLocalFile() : file.toString();
    const QFileInfo info(path);
    const QString mimeType = QMimeDatabase().mimeTypeForFile(info, QMimeDatabase::MatchExtension).name();
    const Result<QString> fileID = co_await uploadResumable(folder.value(), path, mimeType);
    if (!fileID)
        co_return fileID.error();
    const Result<void> shared = co_await makeShareable(fileID.value());
    if (!shared)
        co_return shared.error();
    co_return co_await registerShare(apiKey, fileID.value(), info.fileName(), info.exists() ? info.size() : 0, mimeType, expiryDays);
}

QCoro::Task<Result<QString>> ShareUpload::Tokens::validAccessToken()
{
    if (m_upload->m_accessToken && m_upload->m_accessTokenExpiry > QDateTime::currentDateTimeUtc().addSecs(30))
        co_return *m_upload->m_accessToken;
    co_return co_await m_upload->refreshAccessToken();
}

void ShareUpload::Tokens::refuseAccessToken(const QString &token)
{
    if (m_upload->m_accessToken == token)
        m_upload->m_accessToken.reset();
}

QCoro::Task<Result<HttpResponse>> ShareUpload::call(QNetworkRequest request, QByteArray verb, QByteArray body)
{
    // Drive's answers to slow down and its 5xx are waited out as the tray's uploads wait them out.
    co_return co_await Retry::sendWaitingOut(m_http, &m_tokens, request, verb, body, DriveError::http, m_pause);
}

QCoro::Task<Result<QString>> ShareUpload::refreshAccessToken()
{
    const QString refreshToken = m_refreshToken;
    QNetworkRequest request(Endpoints::join(m_endpoints.googleTokenUrl, QStringLiteral("/token")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    const QByteArray body = OAuth::formBody({{QStringLiteral("client_id"), m_endpoints.googleClientId},
                                             {QStringLiteral("client_secret"), m_endpoints.googleClientSecret},
                                             {QStringLiteral("refresh_token"), refreshToken},
                                             {QStringLiteral("grant_type"), QStringLiteral("refresh_token")}});
    const Result<HttpResponse> answer = co_await m_http->send(request, "POST", body);
    if (!answer || !answer->isSuccess())
        co_return ShareError::authFailed();
    const QJsonObject object = objectOf(answer->body);
    if (!object.value(QStringLiteral("access_token")).isString())
        co_return ShareError::authFailed();
    const QString rotated = object.value(QStringLiteral("refresh_token")).toString();
    if (!rotated.isEmpty()) {
        m_refreshToken = rotated;
        if (m_secrets)
            m_secrets->save(SharedNames::googleAccount, rotated);
        if (!m_secrets || !m_secrets->keepsSecretsPrivate())
            m_suite.setValue(refreshTokenKey, rotated);
    }
    m_accessToken = object.value(QStringLiteral("access_token")).toString();
    const qint64 lifetime = object.value(QStringLiteral("expires_in")).toInteger(3600);
    m_accessTokenExpiry = QDateTime::currentDateTimeUtc().addSecs(lifetime);
    co_return *m_accessToken;
}

QCoro::Task<Result<QString>> ShareUpload::findOrCreateFolder()
{
    QUrl search = Endpoints::join(m_endpoints.googleApiUrl, QStringLiteral("/drive/v3/files"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("q"),
                       QStringLiteral("name='") + folderName
                           + QStringLiteral("' and mimeType='application/vnd.google-apps.folder' and trashed=false"));
    query.addQueryItem(QStringLiteral("fields"), QStringLiteral("files(id)"));
    search.setQuery(query);
    // The search's status is not examined: anything without a folder leads to creating one.
    const Result<HttpResponse> found = co_await call(QNetworkRequest(search), "GET");
    if (!found)
        co_return found.error();
    const QJsonValue existing
        = objectOf(found->body).value(QStringLiteral("files")).toArray().first().toObject().value(QStringLiteral("id"));
    if (existing.isString())
        co_return existing.toString();

    QNetworkRequest create(Endpoints::join(m_endpoints.googleApiUrl, QStringLiteral("/drive/v3/files")));
    create.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QJsonObject folder{{QStringLiteral("name"), folderName},
                             {QStringLiteral("mimeType"), QStringLiteral("application/vnd.google-apps.folder")}};
    const Result<HttpResponse> created = co_await call(create, "POST", QJsonDocument(folder).toJson(QJsonDocument::Compact));
    if (!created)
        co_return created.error();
    const QJsonValue id = objectOf(created->body).value(QStringLiteral("id"));
    if (!id.isString())
        co_return ShareError::driveFailed(QStringLiteral("Couldn't create Drive folder"));
    co_return id.toString();
}

QCoro::Task<Result<QString>> ShareUpload::uploadResumable(QString folderID, QString path, QString mimeType)
{
    const QFileInfo info(path);
    const qint64 size = info.exists() ? info.size() : 0;
    QUrl start = Endpoints::join(m_endpoints.googleUploadUrl, QStringLiteral("/upload/drive/v3/files"));
    start.setQuery(QStringLiteral("uploadType=resumable"));
    QNetworkRequest session(start);
    session.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json; charset=UTF-8"));
    session.setRawHeader("X-Upload-Content-Type", mimeType.toUtf8());
    session.setRawHeader("X-Upload-Content-Length", QByteArray::number(size));
    const QJsonObject metadata{{QStringLiteral("name"), info.fileName()}, {QStringLiteral("parents"), QJsonArray{folderID}}};
    const Result<HttpResponse> started = co_await call(session, "POST", QJsonDocument(metadata).toJson(QJsonDocument::Compact));
    if (!started)
        co_return started.error();
    const QUrl location(QString::fromUtf8(started->header("Location")), QUrl::StrictMode);
    if (started->status != 200 || !location.isValid() || location.isRelative())
        co_return ShareError::driveFailed(QStringLiteral("Drive session init failed: ") + decodeUtf8(started->body).value_or(QString()));

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        co_return fileReadError(file);
    // Streamed from the file; the dialog shows no progress. A 5xx or an answer to slow down is
    // waited out; then the session says how much it holds, and only the rest is sent.
    qint64 offset = 0;
    Result<HttpResponse> uploaded = Error{};
    for (int throttled = 1;; ++throttled) {
        Http::Headers headers{{"Content-Type", mimeType.toUtf8()}};
        if (offset > 0)
            headers.append({"Content-Range",
                            "bytes " + QByteArray::number(offset) + '-' + QByteArray::number(size - 1) + '/' + QByteArray::number(size)});
        uploaded = co_await m_http->sendFile("PUT", location, headers, &file, offset, size - offset);
        // A connection lost on the way is waited out like an answer to slow down.
        const bool lost = !uploaded && Retry::isTransient(uploaded.error());
        if (!uploaded && (!lost || throttled >= Retry::maxAttempts))
            co_return uploaded.error();
        const Error refusal = lost ? uploaded.error() : DriveError::http(*uploaded);
        if (!lost && (!refusal.throttled || throttled >= Retry::maxThrottledAnswers))
            break;
        co_await m_pause(lost ? Retry::pauseAfter(throttled) : Retry::throttledWait(refusal, throttled));
        QNetworkRequest ask(location);
        ask.setRawHeader("Content-Range", "bytes */" + QByteArray::number(size));
        ask.setHeader(QNetworkRequest::ContentLengthHeader, 0);
        ask.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        const Result<HttpResponse> stands = co_await m_http->send(ask, "PUT");
        if (!stands)
            co_return stands.error();
        if (stands->isSuccess()) {
            uploaded = stands;
            break;
        }
        const std::optional<qint64> held = DriveUploader::confirmedOffset(*stands);
        if (stands->status != 308 || !held || *held > size)
            co_return ShareError::driveFailed(QStringLiteral("Drive upload failed: ") + decodeUtf8(stands->body).value_or(QString()));
        offset = *held;
    }
    const QJsonValue id = objectOf(uploaded->body).value(QStringLiteral("id"));
    if (!uploaded->isSuccess() || !id.isString())
        co_return ShareError::driveFailed(QStringLiteral("Drive upload failed: ") + decodeUtf8(uploaded->body).value_or(QString()));
    co_return id.toString();
}

QCoro::Task<Result<void>> ShareUpload::makeShareable(QString fileID)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.googleApiUrl,
                                            QStringLiteral("/drive/v3/files/") + QString::fromLatin1(QUrl::toPercentEncoding(fileID))
                                                + QStringLiteral("/permissions")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    const QJsonObject permission{{QStringLiteral("role"), QStringLiteral("reader")}, {QStringLiteral("type"), QStringLiteral("anyone")}};
    const Result<HttpResponse> answer = co_await call(request, "POST", QJsonDocument(permission).toJson(QJsonDocument::Compact));
    if (!answer || !answer->isSuccess())
        co_return ShareError::driveFailed(QStringLiteral("Couldn't make file shareable"));
    co_return Result<void>();
}

QCoro::Task<Result<QString>> ShareUpload::registerShare(QString apiKey, QString fileID, QString name, qint64 size, QString mimeType,
                                                        qint64 days)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.serviceBaseUrl, QStringLiteral("api/register.php")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("X-Api-Key", apiKey.toUtf8());
    QJsonObject body{{QStringLiteral("drive_file_id"), fileID}, {QStringLiteral("original_filename"), name},
                     {QStringLiteral("filesize"), size},        {QStringLiteral("mimetype"), mimeType},
                     {QStringLiteral("expiry_days"), days},     {QStringLiteral("provider"), rawValue(StorageProvider::google)}};
    // The current one: a token rotated by a refresh is the one to send.
    if (!m_refreshToken.isEmpty())
        body.insert(QStringLiteral("google_refresh_token"), m_refreshToken);
    // At most once: a registration sent again makes a second link.
    const Result<HttpResponse> answer = co_await m_http->sendOnce(request, "POST", QJsonDocument(body).toJson(QJsonDocument::Compact));
    if (!answer)
        co_return answer.error();
    const QJsonValue url = objectOf(answer->body).value(QStringLiteral("url"));
    if (!answer->isSuccess() || !url.isString())
        co_return ShareError::backendFailed(QStringLiteral("Registration failed: ") + decodeUtf8(answer->body).value_or(QString()));
    co_return url.toString();
}
