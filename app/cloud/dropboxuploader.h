#pragma once

#include "clouduploader.h"
#include "platform/endpoints.h"
#include "platform/http.h"

#include <QJsonObject>

class QFile;

class AccessTokenSource;
class Http;

namespace DropboxError {
inline const QString domain = QStringLiteral("dropbox");
enum Code : int { badResponseCode = -2 };
// "Dropbox HTTP <status>: <body>"; the error's code is the status.
Error http(int status, const QByteArray &body);
// The same for an answer, marked as throttled for 429 and 503.
Error http(const HttpResponse &response);
// "Bad Dropbox response: <text>"
Error badResponse(const QString &text);
}

// Uploads into a folder of its own ("/" + 12 random hex digits) in the app's Dropbox folder with
// an upload session, chunk by chunk, each streamed from the file, then makes a public shared link and turns it
// into a direct-download link.
class DropboxUploader : public CloudUploader
{
public:
    static constexpr qint64 defaultChunkSize = 8388608;

    DropboxUploader(Http *http, Endpoints endpoints, AccessTokenSource *auth, qint64 chunkSize = defaultChunkSize);

    using CloudUploader::upload;
    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress,
                                                  UploadSession session, SessionCallback sessionChanged) override;

    static QString uploadPath(const QString &fileName);
    // JSON for the Dropbox-API-Arg header: 0x7F and every non-ASCII character escaped as \uXXXX
    // (UTF-16 units), since the header must be plain ASCII.
    static QByteArray headerJson(const QJsonObject &object);
    static QString directLink(QString link);

private:
    // Whether the file the session commits to is there with `size` bytes: a commit whose answer
    // was lost.
    QCoro::Task<Result<bool>> committed(QString path, qint64 size, QString token);
    // A content-host request whose body is `length` bytes of `file` from `offset` (no body without
    // a file). Any HTTP answer is returned as it is.
    QCoro::Task<Result<HttpResponse>> content(QString path, QByteArray arg, QFile *file, qint64 offset, qint64 length,
                                              Http::Progress progress, QString token);
    QCoro::Task<Result<HttpResponse>> api(QString path, QJsonObject body, QString token);
    QCoro::Task<Result<QString>> sharedLink(QString path, QString token);

    Http *m_http;
    Endpoints m_endpoints;
    AccessTokenSource *m_auth;
    qint64 m_chunkSize;
};
