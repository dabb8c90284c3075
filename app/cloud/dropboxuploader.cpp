#include "dropboxuploader.h"

#include "googleauth.h"
#include "platform/http.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

namespace DropboxError {
Error http(int status, const QByteArray &body)
{
    return Error{domain, status, QStringLiteral("Dropbox HTTP ") + QString::number(status) + QStringLiteral(": ")
                                     + decodeUtf8(body).value_or(QString())};
}

Error badResponse(const QString &text)
{
    return Error{domain, badResponseCode, QStringLiteral("Bad Dropbox response: ") + text};
}
}

namespace {
QString bodyText(const QByteArray &body)
{
    return decodeUtf8(body).value_or(QString());
}
}

DropboxUploader::DropboxUploader(Http *http, Endpoints endpoints, AccessTokenSource *auth, qint64 chunkSize)
    : m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_auth(auth)
    , m_chunkSize(chunkSize)
{
}

QString DropboxUploader::uploadPath(const QString &fileName)
{
    const QString hex = QUuid::createUuid().toString(QUuid::WithoutBraces).remove(QLatin1Char('-')).toUpper();
    return QLatin1Char('/') + hex.left(12) + QLatin1Char('/') + fileName;
}

QByteArray DropboxUploader::headerJson(const QJsonObject &object)
{
    const QString json = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    QByteArray ascii;
    ascii.reserve(json.size());
    for (const QChar c : json) {
        const char16_t unit = c.unicode();
        if (unit < 0x7F)
            ascii.append(char(unit));
        else
            ascii.append(QStringLiteral("\\u%1").arg(uint(unit), 4, 16, QLatin1Char('0')).toLatin1());
    }
    return ascii;
}

QString DropboxUploader::directLink(QString link)
{
    if (link.contains(QLatin1String("dl=0")))
        return link.replace(QLatin1String("dl=0"), QLatin1String("dl=1"));
    return link + (link.contains(QLatin1Char('?')) ? QStringLiteral("&dl=1") : QStringLiteral("?dl=1"));
}

QCoro::Task<Result<HttpResponse>> DropboxUploader::content(QString path, QByteArray arg, QByteArray body, QString token)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.dropboxContentUrl, path));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/octet-stream"));
    request.setRawHeader("Dropbox-API-Arg", arg);
    const Result<HttpResponse> response = co_await m_http->send(request, "POST", body);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return DropboxError::http(response->status, response->body);
    co_return response;
}

QCoro::Task<Result<HttpResponse>> DropboxUploader::api(QString path, QJsonObject body, QString token)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.dropboxApiUrl, path));
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    co_return co_await m_http->send(request, "POST", json);
}

QCoro::Task<Result<QString>> DropboxUploader::sharedLink(QString path, QString token)
{
    const QJsonObject settings{{QStringLiteral("requested_visibility"), QStringLiteral("public")},
                               {QStringLiteral("audience"), QStringLiteral("public")},
                               {QStringLiteral("access"), QStringLiteral("viewer")}};
    const QJsonObject createBody{{QStringLiteral("path"), path}, {QStringLiteral("settings"), settings}};
    const Result<HttpResponse> created = co_await api(QStringLiteral("/2/sharing/create_shared_link_with_settings"), createBody, token);
    if (!created)
        co_return created.error();
    const QJsonValue url = QJsonDocument::fromJson(created->body).object().value(QStringLiteral("url"));
    if (created->isSuccess() && url.isString())
        co_return url.toString();
    if (created->status != 409)
        co_return DropboxError::http(created->status, created->body);

    // 409: among others, a link for this path exists already; ask for it.
    const QJsonObject listBody{{QStringLiteral("path"), path}, {QStringLiteral("direct_only"), true}};
    const Result<HttpResponse> listed = co_await api(QStringLiteral("/2/sharing/list_shared_links"), listBody, token);
    if (!listed)
        co_return listed.error();
    const QJsonValue first = QJsonDocument::fromJson(listed->body).object().value(QStringLiteral("links")).toArray().first();
    const QJsonValue existing = first.toObject().value(QStringLiteral("url"));
    if (listed->isSuccess() && existing.isString())
        co_return existing.toString();
    co_return DropboxError::http(409, created->body);
}

QCoro::Task<Result<CloudUploadResult>> DropboxUploader::upload(QString filePath, QString mimeType, ProgressCallback progress)
{
    Q_UNUSED(mimeType);
    const Result<QString> token = co_await m_auth->validAccessToken();
    if (!token)
        co_return token.error();
    const QFileInfo info(filePath);
    const qint64 size = info.exists() ? info.size() : 0;
    const QString path = uploadPath(info.fileName());
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        co_return Error{ErrorDomain::file, int(file.error()), QStringLiteral("Couldn't read ") + info.fileName() + QStringLiteral(": ") + file.errorString()};

    const Result<HttpResponse> started = co_await content(QStringLiteral("/2/files/upload_session/start"), QByteArray("{\"close\": false}"), {}, token.value());
    if (!started)
        co_return started.error();
    const QJsonValue sessionID = QJsonDocument::fromJson(started->body).object().value(QStringLiteral("session_id"));
    if (!sessionID.isString())
        co_return DropboxError::badResponse(bodyText(started->body));

    qint64 offset = 0;
    for (;;) {
        const QByteArray chunk = file.read(m_chunkSize);
        if (file.error() != QFileDevice::NoError)
            co_return Error{ErrorDomain::file, int(file.error()), QStringLiteral("Couldn't read ") + info.fileName() + QStringLiteral(": ") + file.errorString()};
        if (chunk.isEmpty()) {
            // The session would never be committed and the link step would fail obscurely.
            co_return DropboxError::badResponse(QStringLiteral("the file ended after ") + QString::number(offset) + QStringLiteral(" of ")
                                                + QString::number(size) + QStringLiteral(" bytes; nothing was saved."));
        }
        const QJsonObject cursor{{QStringLiteral("session_id"), sessionID.toString()}, {QStringLiteral("offset"), offset}};
        if (offset + chunk.size() >= size) {
            const QJsonObject commit{{QStringLiteral("path"), path}, {QStringLiteral("mode"), QStringLiteral("add")},
                                     {QStringLiteral("autorename"), true}, {QStringLiteral("mute"), true}};
            const QJsonObject arg{{QStringLiteral("cursor"), cursor}, {QStringLiteral("commit"), commit}};
            const Result<HttpResponse> finished = co_await content(QStringLiteral("/2/files/upload_session/finish"), headerJson(arg), chunk, token.value());
            if (!finished)
                co_return finished.error();
            if (!QJsonDocument::fromJson(finished->body).object().value(QStringLiteral("id")).isString())
                co_return DropboxError::badResponse(bodyText(finished->body));
            if (progress)
                progress(1.0);
            break;
        }
        const QJsonObject arg{{QStringLiteral("cursor"), cursor}, {QStringLiteral("close"), false}};
        const Result<HttpResponse> appended = co_await content(QStringLiteral("/2/files/upload_session/append_v2"), headerJson(arg), chunk, token.value());
        if (!appended)
            co_return appended.error();
        offset += chunk.size();
        if (progress && size > 0)
            progress(double(offset) / double(size));
    }

    const Result<QString> link = co_await sharedLink(path, token.value());
    if (!link)
        co_return link.error();
    CloudUploadResult result;
    result.provider = StorageProvider::dropbox;
    result.providerFileID = path;
    result.directURL = directLink(link.value());
    co_return result;
}
