#include "dropboxuploader.h"

#include "googleauth.h"
#include "platform/http.h"
#include "platform/logging.h"
#include "progressreporter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

namespace DropboxError {
Error http(int status, const QByteArray &body)
{
    return Error{domain, status, QStringLiteral("Dropbox HTTP ") + QString::number(status) + QStringLiteral(": ") + quotedAnswer(body)};
}

Error http(const HttpResponse &response)
{
    Error error = http(response.status, response.body);
    // Dropbox asks to slow down with a 429, or a 409 whose error is too_many_write_operations
    // (another write to the same namespace) or too_many_requests; its 5xx answers are temporary.
    // All are made again after a wait.
    const QString summary = QJsonDocument::fromJson(response.body).object().value(QStringLiteral("error_summary")).toString();
    if (response.status == 429 || response.status == 500 || response.status == 502 || response.status == 504
        || (response.status == 409
            && (summary.startsWith(QLatin1String("too_many_write_operations")) || summary.startsWith(QLatin1String("too_many_requests")))))
        return throttled(error, response);
    return throttling(error, response);
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

void ChunkSizer::chunkSent(qint64 bytes, qint64 nanoseconds)
{
    const qint64 sending = nanoseconds - m_roundTrip;
    if (bytes > 0 && sending > 0)
        m_bytesPerSecond = double(bytes) * 1e9 / double(sending);
}

qint64 ChunkSizer::next() const
{
    if (m_base % unit != 0 || m_roundTrip <= 0 || m_bytesPerSecond <= 0)
        return m_base;
    const double wanted = 19.0 * double(m_roundTrip) / 1e9 * m_bytesPerSecond;
    const qint64 whole = (qint64(wanted) + unit - 1) / unit * unit;
    return std::clamp(whole, m_base, std::max(m_base, largest));
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

QCoro::Task<Result<HttpResponse>> DropboxUploader::content(QString path, QByteArray arg, QFile *file, qint64 offset, qint64 length,
                                                           Http::Progress progress)
{
    const QUrl url = Endpoints::join(m_endpoints.dropboxContentUrl, path);
    Http *http = m_http;
    // Named, not temporaries of the co_await: GCC 12 destroys those twice.
    const AuthorizedSend send = [http, url, arg, file, offset, length, progress](QString token) -> QCoro::Task<Result<HttpResponse>> {
        const Http::Headers headers{
            {"Authorization", "Bearer " + token.toUtf8()}, {"Content-Type", "application/octet-stream"}, {"Dropbox-API-Arg", arg}};
        if (file)
            co_return co_await http->sendFile("POST", url, headers, file, offset, length, progress);
        // No body: a small call like the others.
        QNetworkRequest request(url);
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        co_return co_await http->send(request, "POST");
    };
    QCoro::Task<Result<HttpResponse>> calling = callAuthorized(m_auth, send);
    co_return co_await calling;
}

QCoro::Task<Result<HttpResponse>> DropboxUploader::api(QString path, QJsonObject body)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.dropboxApiUrl, path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    co_return co_await sendAuthorized(m_http, m_auth, request, "POST", json);
}

QCoro::Task<Result<QString>> DropboxUploader::sharedLink(QString path)
{
    const QJsonObject settings{{QStringLiteral("requested_visibility"), QStringLiteral("public")},
                               {QStringLiteral("audience"), QStringLiteral("public")},
                               {QStringLiteral("access"), QStringLiteral("viewer")}};
    const QJsonObject createBody{{QStringLiteral("path"), path}, {QStringLiteral("settings"), settings}};
    const Result<HttpResponse> created = co_await api(QStringLiteral("/2/sharing/create_shared_link_with_settings"), createBody);
    if (!created)
        co_return created.error();
    const QJsonValue url = QJsonDocument::fromJson(created->body).object().value(QStringLiteral("url"));
    if (created->isSuccess() && url.isString())
        co_return url.toString();
    if (const Error refusal = DropboxError::http(*created); created->status != 409 || refusal.throttled)
        co_return refusal;

    // 409: among others, a link for this path exists already; ask for it.
    const QJsonObject listBody{{QStringLiteral("path"), path}, {QStringLiteral("direct_only"), true}};
    const Result<HttpResponse> listed = co_await api(QStringLiteral("/2/sharing/list_shared_links"), listBody);
    if (!listed)
        co_return listed.error();
    const QJsonValue first = QJsonDocument::fromJson(listed->body).object().value(QStringLiteral("links")).toArray().first();
    const QJsonValue existing = first.toObject().value(QStringLiteral("url"));
    if (listed->isSuccess() && existing.isString())
        co_return existing.toString();
    co_return DropboxError::http(409, created->body);
}

namespace {
// What a 409 from a session call says about the session: its tag ("incorrect_offset",
// "not_found", "closed", ...) and, for a wrong offset, the one the session stands at. The finish
// call nests them under "lookup_failed".
struct SessionRefusal {
    QString tag;
    std::optional<qint64> correctOffset;
};

SessionRefusal sessionRefusal(const HttpResponse &answer)
{
    if (answer.status != 409)
        return {};
    QJsonObject error = QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("error")).toObject();
    if (error.value(QStringLiteral(".tag")).toString() == QLatin1String("lookup_failed"))
        error = error.value(QStringLiteral("lookup_failed")).toObject();
    SessionRefusal refusal{error.value(QStringLiteral(".tag")).toString(), std::nullopt};
    const QJsonValue offset = error.value(QStringLiteral("correct_offset"));
    if (offset.isDouble())
        refusal.correctOffset = offset.toInteger();
    return refusal;
}
}

QString DropboxUploader::storedPath(const QJsonObject &metadata, const QString &asked)
{
    for (const char *key : {"path_display", "path_lower"}) {
        const QString path = metadata.value(QLatin1String(key)).toString();
        if (path.startsWith(QLatin1Char('/')))
            return path;
    }
    return asked;
}

QCoro::Task<Result<std::optional<QString>>> DropboxUploader::committed(QString path, qint64 size)
{
    const QJsonObject body{{QStringLiteral("path"), path}};
    const Result<HttpResponse> answer = co_await api(QStringLiteral("/2/files/get_metadata"), body);
    if (!answer)
        co_return answer.error();
    if (answer->status == 409)
        co_return std::optional<QString>();
    if (!answer->isSuccess())
        co_return DropboxError::http(*answer);
    const QJsonObject metadata = QJsonDocument::fromJson(answer->body).object();
    if (metadata.value(QStringLiteral("size")).toInteger(-1) != size)
        co_return std::optional<QString>();
    co_return std::optional<QString>(storedPath(metadata, path));
}

QCoro::Task<Result<CloudUploadResult>> DropboxUploader::upload(QString filePath, QString mimeType, ProgressCallback progress,
                                                               UploadSession session, SessionCallback sessionChanged)
{
    Q_UNUSED(mimeType);
    const QFileInfo info(filePath);
    const qint64 size = info.exists() ? info.size() : 0;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        co_return fileReadError(file);
    if (!session.isEmpty() && (session.size != size || session.offset > size)) {
        session = {};
        sessionChanged(session);
    }
    // The path (its random folder) stays with the drop, also when a new session replaces one that
    // is gone; nothing was committed there.
    const QString path = session.isEmpty() ? uploadPath(info.fileName()) : session.path;
    QString stored = path; // where Dropbox put it: its answer to the commit says
    bool replaced = false;

    // Every report goes through one reporter, so they reach the caller in order; within a chunk
    // they follow the bytes the server has taken, and 1.0 comes once the session is committed.
    const ProgressReporter reporter(progress);
    SendBudget budget(size, m_chunkSize);
    ChunkSizer sizer(m_chunkSize);
    QElapsedTimer clock;
    for (;;) {
        if (session.isEmpty()) {
            clock.start();
            const Result<HttpResponse> started
                = co_await content(QStringLiteral("/2/files/upload_session/start"), QByteArray("{\"close\": false}"), nullptr, 0, 0, {});
            sizer.roundTrip(clock.nsecsElapsed());
            if (!started)
                co_return started.error();
            if (!started->isSuccess())
                co_return DropboxError::http(*started);
            const QJsonValue sessionID = QJsonDocument::fromJson(started->body).object().value(QStringLiteral("session_id"));
            if (!sessionID.isString())
                co_return DropboxError::badResponse(bodyText(started->body));
            session = UploadSession{sessionID.toString(), path, 0, size, false};
            sessionChanged(session);
        } else if (session.finishing) {
            // The commit went out and its answer never came: it may have been made.
            const Result<std::optional<QString>> done = co_await committed(session.path, size);
            if (!done)
                co_return done.error();
            if (*done) {
                stored = **done;
                reporter.report(size, size);
                break;
            }
        }

        // Each chunk is streamed from the file by the HTTP layer, never held in memory.
        const qint64 offset = session.offset;
        const qint64 length = std::min(sizer.next(), size - offset);
        if (length <= 0) {
            // The session would never be committed and the link step would fail obscurely.
            co_return DropboxError::badResponse(QStringLiteral("the file ended after ") + QString::number(offset) + QStringLiteral(" of ")
                                                + QString::number(size) + QStringLiteral(" bytes; nothing was saved."));
        }
        if (!budget.take(length))
            co_return budget.exhausted(DropboxError::domain, StorageProvider::dropbox);
        const Http::Progress report = [reporter, offset, size](qint64 sent, qint64) {
            if (offset + sent < size)
                reporter.report(offset + sent, size);
        };
        const QJsonObject cursor{{QStringLiteral("session_id"), session.handle}, {QStringLiteral("offset"), offset}};
        const bool last = offset + length >= size;
        Result<HttpResponse> answer = Error{};
        clock.start();
        if (last) {
            session.finishing = true;
            sessionChanged(session);
            const QJsonObject commit{{QStringLiteral("path"), path},
                                     {QStringLiteral("mode"), QStringLiteral("add")},
                                     {QStringLiteral("autorename"), true},
                                     {QStringLiteral("mute"), true}};
            const QJsonObject arg{{QStringLiteral("cursor"), cursor}, {QStringLiteral("commit"), commit}};
            answer = co_await content(QStringLiteral("/2/files/upload_session/finish"), headerJson(arg), &file, offset, length, report);
        } else {
            const QJsonObject arg{{QStringLiteral("cursor"), cursor}, {QStringLiteral("close"), false}};
            answer = co_await content(QStringLiteral("/2/files/upload_session/append_v2"), headerJson(arg), &file, offset, length, report);
        }
        if (!answer)
            co_return answer.error();
        if (answer->isSuccess()) {
            if (last) {
                const QJsonObject metadata = QJsonDocument::fromJson(answer->body).object();
                if (!metadata.value(QStringLiteral("id")).isString())
                    co_return DropboxError::badResponse(bodyText(answer->body));
                stored = storedPath(metadata, path);
                if (stored != path)
                    qCInfo(lcUpload, "Dropbox stored the file under another name (a file of that name was there)");
                reporter.report(size, size);
                break;
            }
            sizer.chunkSent(length, clock.nsecsElapsed());
            session.offset = offset + length;
            sessionChanged(session);
            continue;
        }
        const SessionRefusal refusal = sessionRefusal(*answer);
        if (refusal.tag == QLatin1String("incorrect_offset") && refusal.correctOffset && *refusal.correctOffset >= 0
            && *refusal.correctOffset <= size && *refusal.correctOffset != offset) {
            // An earlier chunk arrived although its answer did not: go on from where the session stands.
            session.offset = *refusal.correctOffset;
            session.finishing = false;
            sessionChanged(session);
            continue;
        }
        if ((refusal.tag == QLatin1String("not_found") || refusal.tag == QLatin1String("closed")) && !replaced) {
            // The session expired or was never known (a commit of it was looked for above, when
            // one had gone out): start again, once, from byte 0.
            replaced = true;
            session = {};
            sessionChanged(session);
            continue;
        }
        co_return DropboxError::http(*answer);
    }

    const Result<QString> link = co_await sharedLink(stored);
    if (!link)
        co_return link.error();
    CloudUploadResult result;
    result.provider = StorageProvider::dropbox;
    result.providerFileID = stored;
    result.directURL = directLink(link.value());
    co_return result;
}
