#pragma once

#include "clouduploader.h"
#include "platform/endpoints.h"

#include <QNetworkRequest>

class AccessTokenSource;
class Http;
struct HttpResponse;

namespace DriveError {
inline const QString domain = QStringLiteral("drive");
enum Code : int { badResponseCode = -2 };
// "Drive HTTP <status>: <body>"; the error's code is the status.
Error http(int status, const QByteArray &body);
// The same for an answer, marked as throttled (retried after a wait) for 429, 500, 502, 503,
// 504 and Drive's 403 rate-limit refusals.
Error http(const HttpResponse &response);
Error badResponse();
}

// Uploads into the "Kavo" folder of the user's Google Drive with the resumable protocol (one
// PUT of the whole file, streamed from disk) and shares the file with anyone who has the link.
class DriveUploader : public CloudUploader
{
public:
    static inline const QString folderName = QStringLiteral("Kavo");
    static inline const QString folderMimeType = QStringLiteral("application/vnd.google-apps.folder");

    DriveUploader(Http *http, Endpoints endpoints, AccessTokenSource *auth);

    using CloudUploader::upload;
    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress, UploadSession session,
                                                  SessionCallback sessionChanged) override;
    // The folder's id, made when there is none.
    QCoro::Task<Result<QString>> ensureFolder(QString name);

    // The offset a 308 answer's Range header ("bytes=0-N") confirms: N + 1, or 0 without one;
    // no value for a Range that does not start at 0.
    static std::optional<qint64> confirmedOffset(const HttpResponse &answer);

private:
    QUrl apiUrl(const QString &path) const;
    // A Drive API call with the account's current access token (see callAuthorized).
    QCoro::Task<Result<HttpResponse>> call(QNetworkRequest request, QByteArray verb, QByteArray body = {});
    QCoro::Task<Result<QUrl>> startSession(QString name, QString folderID, QString mimeType, qint64 size);
    // Asks the session where it stands ("Content-Range: bytes */N").
    QCoro::Task<Result<HttpResponse>> askSession(UploadSession session);
    // Sends the file from `session.offset` to its end: the whole file as one PUT, or the rest with
    // a Content-Range.
    QCoro::Task<Result<HttpResponse>> sendRest(UploadSession session, QString filePath, QString mimeType, ProgressCallback progress);
    QCoro::Task<Result<void>> share(QString fileID);

    Http *m_http;
    Endpoints m_endpoints;
    AccessTokenSource *m_auth;
};
