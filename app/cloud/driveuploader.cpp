#include "driveuploader.h"

#include "googleauth.h"
#include "platform/http.h"
#include "uploaddelegate.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace DriveError {
Error http(int status, const QByteArray &body)
{
    return Error{domain, status, QStringLiteral("Drive HTTP ") + QString::number(status) + QStringLiteral(": ")
                                     + decodeUtf8(body).value_or(QString())};
}

Error badResponse()
{
    return Error{domain, badResponseCode, QStringLiteral("Bad response from Drive.")};
}
}

namespace {
Result<QJsonDocument> parse(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Error{QStringLiteral("json"), 1, QStringLiteral("Drive's answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(").")};
    return document;
}

QNetworkRequest authorized(const QUrl &url, const QString &token)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    return request;
}
}

DriveUploader::DriveUploader(Http *http, Endpoints endpoints, AccessTokenSource *auth)
    : m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_auth(auth)
{
}

QUrl DriveUploader::apiUrl(const QString &path) const
{
    return Endpoints::join(m_endpoints.googleApiUrl, path);
}

QCoro::Task<Result<QString>> DriveUploader::ensureFolder(QString name, QString accessToken)
{
    QUrl search = apiUrl(QStringLiteral("/drive/v3/files"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("q"), QStringLiteral("mimeType='") + folderMimeType
                                                + QStringLiteral("' and trashed=false and name='") + name + QLatin1Char('\''));
    query.addQueryItem(QStringLiteral("fields"), QStringLiteral("files(id,name)"));
    search.setQuery(query);
    const Result<HttpResponse> found = co_await m_http->send(authorized(search, accessToken), "GET");
    if (!found)
        co_return found.error();
    const Result<QJsonDocument> listing = parse(found->body);
    if (!listing)
        co_return listing.error();
    const QJsonValue first = listing->object().value(QStringLiteral("files")).toArray().first();
    if (first.toObject().value(QStringLiteral("id")).isString())
        co_return first.toObject().value(QStringLiteral("id")).toString();

    QNetworkRequest create = authorized(apiUrl(QStringLiteral("/drive/v3/files")), accessToken);
    create.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QJsonObject folder{{QStringLiteral("name"), name}, {QStringLiteral("mimeType"), folderMimeType}};
    const QByteArray body = QJsonDocument(folder).toJson(QJsonDocument::Compact);
    const Result<HttpResponse> created = co_await m_http->send(create, "POST", body);
    if (!created)
        co_return created.error();
    const Result<QJsonDocument> answer = parse(created->body);
    if (!answer)
        co_return answer.error();
    const QJsonValue id = answer->object().value(QStringLiteral("id"));
    if (!id.isString())
        co_return DriveError::badResponse();
    co_return id.toString();
}

QCoro::Task<Result<QUrl>> DriveUploader::startSession(QString name, QString folderID, QString mimeType, qint64 size, QString token)
{
    QUrl url = Endpoints::join(m_endpoints.googleUploadUrl, QStringLiteral("/upload/drive/v3/files"));
    url.setQuery(QStringLiteral("uploadType=resumable"));
    QNetworkRequest request = authorized(url, token);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json; charset=UTF-8"));
    request.setRawHeader("X-Upload-Content-Type", mimeType.toUtf8());
    request.setRawHeader("X-Upload-Content-Length", QByteArray::number(size));
    const QJsonObject metadata{{QStringLiteral("name"), name}, {QStringLiteral("parents"), QJsonArray{folderID}}};
    const QByteArray body = QJsonDocument(metadata).toJson(QJsonDocument::Compact);
    const Result<HttpResponse> response = co_await m_http->send(request, "POST", body);
    if (!response)
        co_return response.error();
    const QUrl location = QUrl(QString::fromUtf8(response->header("Location")), QUrl::StrictMode);
    if (response->status != 200 || !location.isValid() || location.scheme().isEmpty() || location.host().isEmpty())
        co_return DriveError::http(response->status, response->body);
    co_return location;
}

QCoro::Task<Result<QString>> DriveUploader::sendBytes(QUrl session, QString filePath, QString mimeType, qint64 size,
                                                     ProgressCallback progress)
{
    // The body goes on a connection of its own (the session URL is a credential of this upload),
    // streamed from the file; no Authorization header.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        co_return fileReadError(file);
    const UploadDelegate delegate(progress);
    const Http::Progress report = [delegate](qint64 sent, qint64 total) { delegate.didSendBodyData(0, sent, total); };
    const Http::Headers headers{{"Content-Type", mimeType.toUtf8()}};
    const Result<HttpResponse> response = co_await m_http->sendFile("PUT", session, headers, &file, 0, size, report);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return DriveError::http(response->status, response->body);
    const Result<QJsonDocument> answer = parse(response->body);
    if (!answer)
        co_return answer.error();
    const QJsonValue id = answer->object().value(QStringLiteral("id"));
    if (!id.isString())
        co_return DriveError::http(response->status, response->body);
    co_return id.toString();
}

QCoro::Task<Result<void>> DriveUploader::share(QString fileID, QString token)
{
    QNetworkRequest request = authorized(
        apiUrl(QStringLiteral("/drive/v3/files/") + QString::fromLatin1(QUrl::toPercentEncoding(fileID)) + QStringLiteral("/permissions")),
        token);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QJsonObject permission{{QStringLiteral("role"), QStringLiteral("reader")}, {QStringLiteral("type"), QStringLiteral("anyone")}};
    const QByteArray body = QJsonDocument(permission).toJson(QJsonDocument::Compact);
    const Result<HttpResponse> response = co_await m_http->send(request, "POST", body);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return DriveError::http(response->status, response->body);
    co_return Result<void>();
}

QCoro::Task<Result<CloudUploadResult>> DriveUploader::upload(QString filePath, QString mimeType, ProgressCallback progress)
{
    const Result<QString> token = co_await m_auth->validAccessToken();
    if (!token)
        co_return token.error();
    const Result<QString> folder = co_await ensureFolder(folderName, token.value());
    if (!folder)
        co_return folder.error();
    const QFileInfo info(filePath);
    const qint64 size = info.exists() ? info.size() : 0;
    const Result<QUrl> session = co_await startSession(info.fileName(), folder.value(), mimeType, size, token.value());
    if (!session)
        co_return session.error();
    const Result<QString> fileID = co_await sendBytes(session.value(), filePath, mimeType, size, progress);
    if (!fileID)
        co_return fileID.error();
    const Result<void> shared = co_await share(fileID.value(), token.value());
    if (!shared)
        co_return shared.error();
    CloudUploadResult result;
    result.provider = StorageProvider::google;
    result.providerFileID = fileID.value();
    co_return result;
}
