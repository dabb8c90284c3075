#include "cloudcleanup.h"

#include "cloud/driveuploader.h"
#include "cloud/dropboxuploader.h"
#include "cloud/googleauth.h"
#include "platform/http.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString dropboxUnreachable
    = QStringLiteral("We removed the share link, but couldn't reach Dropbox to delete the file. It's still in the Vendrel2App folder in "
                     "your Dropbox — clean up manually if needed.");
const QString dropboxSignIn
    = QStringLiteral("We removed the share link, but couldn't clean up the file in your Dropbox (sign-in issue). You can delete it "
                     "manually from the Vendrel2App folder in Dropbox.");
const QString driveUnreachable
    = QStringLiteral("We removed the share link, but couldn't reach Google Drive to delete the file. It's still in the Vendrel folder in "
                     "your Drive — clean up manually if needed.");
const QString driveSignIn
    = QStringLiteral("We removed the share link, but couldn't clean up the file in your Google Drive (sign-in issue). You can delete it "
                     "manually from the Vendrel folder in Drive.");
}

CloudCleanup::CloudCleanup(Http *http, Endpoints endpoints, AccessTokenSource *google, AccessTokenSource *dropbox)
    : m_http(http)
    , m_endpoints(std::move(endpoints))
    , m_google(google)
    , m_dropbox(dropbox)
{
}

QCoro::Task<std::optional<QString>> CloudCleanup::clean(QString driveFileID, QString provider)
{
    if (linkStorageProvider(provider) == StorageProvider::dropbox)
        co_return co_await cleanDropbox(driveFileID);
    co_return co_await cleanDrive(driveFileID);
}

QCoro::Task<std::optional<QString>> CloudCleanup::cleanDropbox(QString path)
{
    QNetworkRequest request(Endpoints::join(m_endpoints.dropboxApiUrl, QStringLiteral("/2/files/delete_v2")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    const QJsonObject object{{QStringLiteral("path"), path}};
    const QByteArray body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const auto summaryOf = [](const HttpResponse &answer) {
        return QJsonDocument::fromJson(answer.body).object().value(QStringLiteral("error_summary")).toString();
    };
    // Dropbox asks to slow down with a 429 or a 409 "too_many_write_operations": the delete is
    // made again after the waits the uploads use.
    const Result<HttpResponse> response
        = co_await Retry::sendWaitingOut(m_http, m_dropbox, request, "POST", body, DropboxError::http, m_pause);
    const auto refused = [](int status, const QString &summary) -> QString {
        if (!summary.isEmpty())
            return QStringLiteral("We removed the share link, but Dropbox returned an error: ") + shortened(summary)
                + QStringLiteral(". You may want to remove the file manually.");
        return QStringLiteral("We removed the share link, but Dropbox returned an unexpected response (HTTP ") + QString::number(status)
            + QStringLiteral(").");
    };
    if (!response)
        co_return dropboxUnreachable;
    const int status = response->status;
    // Only a file that is not there (any more) is as good as deleted; any other refusal (no
    // permission to write, a path that is not a file) leaves it, and its public link, in place.
    if (status == 200 || (status == 409 && summaryOf(*response).startsWith(QLatin1String("path_lookup/not_found"))))
        co_return std::nullopt;
    if (status == 401 || status == 403)
        co_return dropboxSignIn;
    co_return refused(status, summaryOf(*response));
}

QCoro::Task<Result<HttpResponse>> CloudCleanup::deleteDriveFile(QString fileID)
{
    // Drive ids are URL-safe; encoding keeps any other value inside its path segment.
    const QNetworkRequest request(Endpoints::join(
        m_endpoints.googleApiUrl, QStringLiteral("/drive/v3/files/") + QString::fromLatin1(QUrl::toPercentEncoding(fileID))));
    co_return co_await Retry::sendWaitingOut(m_http, m_google, request, "DELETE", {}, DriveError::http, m_pause);
}

QCoro::Task<std::optional<QString>> CloudCleanup::cleanDrive(QString fileID)
{
    const Result<HttpResponse> response = co_await deleteDriveFile(fileID);
    if (!response)
        co_return driveUnreachable;
    const int status = response->status;
    if (status == 204 || status == 404 || status == 410)
        co_return std::nullopt;
    if (status == 401 || status == 403)
        co_return driveSignIn;
    co_return QStringLiteral("We removed the share link, but Google Drive returned an unexpected response (HTTP ") + QString::number(status)
        + QStringLiteral("). You may want to remove the file manually from the Vendrel folder in Drive.");
}
