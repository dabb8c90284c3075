#include "driveuploader.h"

#include "googleauth.h"
#include "platform/http.h"
#include "platform/logging.h"
#include "progressreporter.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace DriveError {
Error http(int status, const QByteArray &body)
{
    return Error{domain, status, QStringLiteral("Drive HTTP ") + QString::number(status) + QStringLiteral(": ") + quotedAnswer(body)};
}

Error http(const HttpResponse &response)
{
    Error error = http(response.status, response.body);
    if (response.status == 403) {
        // {"error": {"errors": [{"reason": "userRateLimitExceeded", ...}], ...}}
        const QJsonArray errors = QJsonDocument::fromJson(response.body)
                                      .object()
                                      .value(QStringLiteral("error"))
                                      .toObject()
                                      .value(QStringLiteral("errors"))
                                      .toArray();
        for (const QJsonValue &entry : errors) {
            const QString reason = entry.toObject().value(QStringLiteral("reason")).toString();
            if (reason == QLatin1String("userRateLimitExceeded") || reason == QLatin1String("rateLimitExceeded"))
                return throttled(error, response);
        }
    }
    // Google's guide: 5xx answers are temporary and retried with exponential backoff.
    if (response.status == 500 || response.status == 502 || response.status == 504)
        return throttled(error, response);
    return throttling(error, response);
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
        return Error{QStringLiteral("json"), 1,
                     QStringLiteral("Drive's answer isn't valid JSON (") + parseError.errorString() + QStringLiteral(").")};
    return document;
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

QCoro::Task<Result<HttpResponse>> DriveUploader::call(QNetworkRequest request, QByteArray verb, QByteArray body)
{
    co_return co_await sendAuthorized(m_http, m_auth, request, verb, body);
}

QCoro::Task<Result<QString>> DriveUploader::ensureFolder(QString name)
{
    QUrl search = apiUrl(QStringLiteral("/drive/v3/files"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("q"),
                       QStringLiteral("mimeType='") + folderMimeType + QStringLiteral("' and trashed=false and name='") + name
                           + QLatin1Char('\''));
    query.addQueryItem(QStringLiteral("fields"), QStringLiteral("files(id,name)"));
    search.setQuery(query);
    const Result<HttpResponse> found = co_await call(QNetworkRequest(search), "GET");
    if (!found)
        co_return found.error();
    // A throttled search says nothing about the folder; creating one would make a second.
    if (const Error refusal = DriveError::http(*found); refusal.throttled)
        co_return refusal;
    const Result<QJsonDocument> listing = parse(found->body);
    if (!listing)
        co_return listing.error();
    const QJsonValue first = listing->object().value(QStringLiteral("files")).toArray().first();
    if (first.toObject().value(QStringLiteral("id")).isString())
        co_return first.toObject().value(QStringLiteral("id")).toString();

    if (!found->isSuccess())
        co_return DriveError::http(*found);
    QNetworkRequest create(apiUrl(QStringLiteral("/drive/v3/files")));
    create.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QJsonObject folder{{QStringLiteral("name"), name}, {QStringLiteral("mimeType"), folderMimeType}};
    const QByteArray body = QJsonDocument(folder).toJson(QJsonDocument::Compact);
    const Result<HttpResponse> created = co_await call(create, "POST", body);
    if (!created)
        co_return created.error();
    if (!created->isSuccess())
        co_return DriveError::http(*created);
    const Result<QJsonDocument> answer = parse(created->body);
    if (!answer)
        co_return answer.error();
    const QJsonValue id = answer->object().value(QStringLiteral("id"));
    if (!id.isString())
        co_return DriveError::badResponse();
    co_return id.toString();
}

QCoro::Task<Result<QUrl>> DriveUploader::startSession(QString name, QString folderID, QString mimeType, qint64 size)
{
    QUrl url = Endpoints::join(m_endpoints.googleUploadUrl, QStringLiteral("/upload/drive/v3/files"));
    url.setQuery(QStringLiteral("uploadType=resumable"));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json; charset=UTF-8"));
    request.setRawHeader("X-Upload-Content-Type", mimeType.toUtf8());
    request.setRawHeader("X-Upload-Content-Length", QByteArray::number(size));
    const QJsonObject metadata{{QStringLiteral("name"), name}, {QStringLiteral("parents"), QJsonArray{folderID}}};
    const QByteArray body = QJsonDocument(metadata).toJson(QJsonDocument::Compact);
    const Result<HttpResponse> response = co_await call(request, "POST", body);
    if (!response)
        co_return response.error();
    const QUrl location = QUrl(QString::fromUtf8(response->header("Location")), QUrl::StrictMode);
    if (response->status != 200 || !location.isValid() || location.scheme().isEmpty() || location.host().isEmpty())
        co_return DriveError::http(*response);
    co_return location;
}

std::optional<qint64> DriveUploader::confirmedOffset(const HttpResponse &answer)
{
    const QByteArray range = answer.header("Range").trimmed();
    if (range.isEmpty())
        return 0;
    if (!range.startsWith("bytes=0-"))
        return std::nullopt;
    bool isNumber = false;
    const qint64 last = range.mid(8).toLongLong(&isNumber);
    if (!isNumber || last < 0)
        return std::nullopt;
    return last + 1;
}

QCoro::Task<Result<HttpResponse>> DriveUploader::askSession(UploadSession session)
{
    QNetworkRequest request{QUrl(session.handle)};
    request.setRawHeader("Content-Range", "bytes */" + QByteArray::number(session.size));
    request.setHeader(QNetworkRequest::ContentLengthHeader, 0);
    // 308 here means "resume incomplete", not a redirect to follow.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    co_return co_await m_http->send(request, "PUT");
}

QCoro::Task<Result<HttpResponse>> DriveUploader::sendRest(UploadSession session, QString filePath, QString mimeType,
                                                          ProgressCallback progress)
{
    // The body goes on a connection of its own (the session URL is a credential of this upload),
    // streamed from the file; no Authorization header.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        co_return fileReadError(file);
    const ProgressReporter reporter(progress);
    const qint64 from = session.offset, size = session.size;
    const Http::Progress report = [reporter, from, size](qint64 sent, qint64) { reporter.report(from + sent, size); };
    Http::Headers headers{{"Content-Type", mimeType.toUtf8()}};
    if (from > 0)
        headers.append(
            {"Content-Range", "bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/' + QByteArray::number(size)});
    co_return co_await m_http->sendFile("PUT", QUrl(session.handle), headers, &file, from, size - from, report);
}
QCoro::Task<Result<void>> DriveUploader::share(QString fileID)
{
    QNetworkRequest request(
        apiUrl(QStringLiteral("/drive/v3/files/") + QString::fromLatin1(QUrl::toPercentEncoding(fileID)) + QStringLiteral("/permissions")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QJsonObject permission{{QStringLiteral("role"), QStringLiteral("reader")}, {QStringLiteral("type"), QStringLiteral("anyone")}};
    const QByteArray body = QJsonDocument(permission).toJson(QJsonDocument::Compact);
    const Result<HttpResponse> response = co_await call(request, "POST", body);
    if (!response)
        co_return response.error();
    if (!response->isSuccess())
        co_return DriveError::http(*response);
    co_return Result<void>();
}

QCoro::Task<Result<CloudUploadResult>> DriveUploader::upload(QString filePath, QString mimeType, ProgressCallback progress,
                                                             UploadSession session, SessionCallback sessionChanged)
{
    const QFileInfo info(filePath);
    const qint64 size = info.exists() ? info.size() : 0;
    if (!session.isEmpty() && session.size != size) {
        session = {};
        sessionChanged(session);
    }

    // A session handed in, or one that went wrong on the way, is asked where it stands before
    // anything is sent; one that is gone (404, 410: expired or never known) is replaced once.
    bool ask = !session.isEmpty();
    bool replaced = false;
    int roundsWithoutProgress = 0;
    SendBudget budget(size, size);
    std::optional<HttpResponse> done;
    while (!done) {
        if (session.isEmpty()) {
            const Result<QString> folder = co_await ensureFolder(folderName);
            if (!folder)
                co_return folder.error();
            const Result<QUrl> started = co_await startSession(info.fileName(), folder.value(), mimeType, size);
            if (!started)
                co_return started.error();
            session = UploadSession{started->toString(QUrl::FullyEncoded), {}, 0, size, false};
            sessionChanged(session);
            ask = false;
        }
        Result<HttpResponse> answer = Error{};
        if (ask) {
            answer = co_await askSession(session);
        } else {
            if (!budget.take(size - session.offset))
                co_return budget.exhausted(DriveError::domain, StorageProvider::google);
            answer = co_await sendRest(session, filePath, mimeType, progress);
        }
        if (!answer)
            co_return answer.error();
        const int status = answer->status;
        if (answer->isSuccess()) {
            done = answer.value();
        } else if (status == 404 || status == 410) {
            if (replaced)
                co_return DriveError::http(*answer);
            replaced = true;
            session = {};
            sessionChanged(session);
        } else if (status == 308) {
            // The session lacks bytes: send them from where it stands. An answer that confirms no
            // more than the last one, twice in a row, means it takes nothing and ends the upload.
            const std::optional<qint64> offset = confirmedOffset(*answer);
            if (!offset || *offset > size)
                co_return DriveError::http(*answer);
            if (ask)
                qCInfo(lcUpload, "the Drive session holds %lld of %lld bytes; sending the rest", qlonglong(*offset), qlonglong(size));
            else
                roundsWithoutProgress = *offset > session.offset ? 0 : roundsWithoutProgress + 1;
            if (roundsWithoutProgress >= 2)
                co_return DriveError::http(*answer);
            if (*offset != session.offset) {
                session.offset = *offset;
                sessionChanged(session);
            }
            ask = false;
        } else {
            co_return DriveError::http(*answer);
        }
    }

    const Result<QJsonDocument> parsed = parse(done->body);
    if (!parsed)
        co_return parsed.error();
    const QJsonValue fileID = parsed->object().value(QStringLiteral("id"));
    if (!fileID.isString())
        co_return DriveError::http(*done);
    const Result<void> shared = co_await share(fileID.toString());
    if (!shared)
        co_return shared.error();
    CloudUploadResult result;
    result.provider = StorageProvider::google;
    result.providerFileID = fileID.toString();
    co_return result;
}
