#pragma once

#include "clouduploader.h"
#include "platform/endpoints.h"
#include "platform/http.h"

#include <QJsonObject>

#include <algorithm>

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

// Sizes a Dropbox upload's chunks so that the round trip each chunk waits for its answer costs
// at most 5 % of the time: with R the round trip of a call without a body and T the throughput
// of the last chunk, the next carries 19 R T bytes, in whole 4 MiB, at least the base size and at
// most 140 MiB (Dropbox takes at most 150 MB a call). A base that is not a whole number of 4 MiB
// (the tests' small chunks) is kept as it is, and so is the base until both are measured.
class ChunkSizer
{
public:
    static constexpr qint64 unit = qint64(4) << 20;
    static constexpr qint64 largest = qint64(140) << 20;

    explicit ChunkSizer(qint64 base)
        : m_base(base)
    {
    }
    void roundTrip(qint64 nanoseconds) { m_roundTrip = m_roundTrip > 0 ? std::min(m_roundTrip, nanoseconds) : nanoseconds; }
    void chunkSent(qint64 bytes, qint64 nanoseconds);
    qint64 next() const;

private:
    qint64 m_base;
    qint64 m_roundTrip = 0; // ns
    double m_bytesPerSecond = 0;
};

// Uploads into a folder of its own ("/" + 12 random hex digits) in the app's Dropbox folder with
// an upload session, chunk by chunk, each streamed from the file, then makes a public shared link and turns it
// into a direct-download link.
class DropboxUploader : public CloudUploader
{
public:
    static constexpr qint64 defaultChunkSize = 8388608;

    DropboxUploader(Http *http, Endpoints endpoints, AccessTokenSource *auth, qint64 chunkSize = defaultChunkSize);

    using CloudUploader::upload;
    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress, UploadSession session,
                                                  SessionCallback sessionChanged) override;

    static QString uploadPath(const QString &fileName);
    // JSON for the Dropbox-API-Arg header: 0x7F and every non-ASCII character escaped as \uXXXX
    // (UTF-16 units), since the header must be plain ASCII.
    static QByteArray headerJson(const QJsonObject &object);
    static QString directLink(QString link);
    // The path Dropbox says it stored a file at (an "add" with autorename may have renamed it),
    // from a file's metadata; `asked` when the answer names none.
    static QString storedPath(const QJsonObject &metadata, const QString &asked);

private:
    // Where a commit whose answer was lost put the file: its path when a file of that size is at
    // `path`, none when nothing was committed there.
    QCoro::Task<Result<std::optional<QString>>> committed(QString path, qint64 size);

    // A content-host request whose body is `length` bytes of `file` from `offset` (no body without
    // a file). Any HTTP answer is returned as it is.
    QCoro::Task<Result<HttpResponse>> content(QString path, QByteArray arg, QFile *file, qint64 offset, qint64 length,
                                              Http::Progress progress);
    QCoro::Task<Result<HttpResponse>> api(QString path, QJsonObject body);
    QCoro::Task<Result<QString>> sharedLink(QString path);

    Http *m_http;
    Endpoints m_endpoints;
    AccessTokenSource *m_auth;
    qint64 m_chunkSize;
};
