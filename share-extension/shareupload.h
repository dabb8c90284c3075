#pragma once

#include "cloud/authorizedcall.h"
#include "platform/defaultsstore.h"
#include "platform/endpoints.h"
#include "platform/error.h"
#include "platform/sharednames.h"
#include "upload/retry.h"

#include <QDateTime>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <qcoro/qcorotask.h>

class Http;
class SecretStore;
struct HttpResponse;

// The share dialog's own road from a file to a share link: the credentials the tray application
// keeps (in the desktop's secret service, else in the shared suite), Google access tokens (renewed
// once when refused), the "Kavo" Drive folder, a resumable upload, a public permission and the
// registration with the service (sent at most once). Google only, one file; Drive's answers to
// slow down and its 5xx are waited out as in the tray, the upload going on where its session
// stands; nothing else is retried.
namespace ShareError {
inline const QString domain = QStringLiteral("share");
enum class Code { driveFailed = 1, backendFailed, notSignedIn, authFailed };
Error driveFailed(const QString &text);
Error backendFailed(const QString &text);
Error notSignedIn();
Error authFailed();
}

class ShareUpload
{
public:
    static inline const QString apiKeyKey = SharedNames::serviceKeyKey;
    static inline const QString refreshTokenKey = SharedNames::googleRefreshTokenKey;
    static inline const QString folderName = QStringLiteral("Kavo");

    // `secrets`, when given, is read first (the tray keeps no plain copy where it is private).
    ShareUpload(Http *http, Endpoints endpoints, DefaultsStore suite, SecretStore *secrets = nullptr);

    // The link of the uploaded, registered file.
    QCoro::Task<Result<QString>> perform(QUrl file, qint64 expiryDays);
    // The wait before Drive's answer to slow down, or a 5xx, is tried again (tests: none).
    void setRetryPause(Retry::Pause pause) { m_pause = std::move(pause); }

private:
    // Access tokens from the stored refresh token, each asked for when a call goes out (an upload
    // may outlive one); a rotated refresh token is kept where the tray keeps it.
    class Tokens : public AccessTokenSource
    {
    public:
        explicit Tokens(ShareUpload *upload)
            : m_upload(upload)
        {
        }
        QCoro::Task<Result<QString>> validAccessToken() override;
        void refuseAccessToken(const QString &token) override;

    private:
        ShareUpload *m_upload;
    };

    QCoro::Task<Result<QString>> refreshAccessToken();
    // A Drive call with the current access token (see callAuthorized).
    QCoro::Task<Result<HttpResponse>> call(QNetworkRequest request, QByteArray verb, QByteArray body = {});
    QCoro::Task<Result<QString>> findOrCreateFolder();
    QCoro::Task<Result<QString>> uploadResumable(QString folderID, QString path, QString mimeType);
    QCoro::Task<Result<void>> makeShareable(QString fileID);
    QCoro::Task<Result<QString>> registerShare(QString apiKey, QString fileID, QString name, qint64 size, QString mimeType, qint64 days);
    QString sharedText(const QString &key) const;

    Http *m_http;
    Endpoints m_endpoints;
    DefaultsStore m_suite;
    SecretStore *m_secrets;
    Tokens m_tokens{this};
    QString m_refreshToken;
    std::optional<QString> m_accessToken;
    QDateTime m_accessTokenExpiry;
    Retry::Pause m_pause = Retry::sleep;
};
