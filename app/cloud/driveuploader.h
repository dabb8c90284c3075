#pragma once

#include "clouduploader.h"
#include "platform/endpoints.h"

class AccessTokenSource;
class Http;

namespace DriveError {
inline const QString domain = QStringLiteral("drive");
enum Code : int { badResponseCode = -2 };
// "Drive HTTP <status>: <body>"; the error's code is the status.
Error http(int status, const QByteArray &body);
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

    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress) override;
    QCoro::Task<Result<QString>> ensureFolder(QString name, QString accessToken);

private:
    QUrl apiUrl(const QString &path) const;
    QCoro::Task<Result<QUrl>> startSession(QString name, QString folderID, QString mimeType, qint64 size, QString token);
    QCoro::Task<Result<QString>> sendBytes(QUrl session, QString filePath, QString mimeType, qint64 size, ProgressCallback progress);
    QCoro::Task<Result<void>> share(QString fileID, QString token);

    Http *m_http;
    Endpoints m_endpoints;
    AccessTokenSource *m_auth;
};
