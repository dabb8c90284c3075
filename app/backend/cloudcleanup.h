#pragma once

#include "platform/endpoints.h"
#include "platform/http.h"
#include "upload/retry.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <optional>

class AccessTokenSource;
class Http;

// Deletes a link's file from Google Drive or Dropbox before the service forgets the link. It
// never fails: every outcome short of success is a sentence for the user.
class CloudCleanup
{
public:
    CloudCleanup(Http *http, Endpoints endpoints, AccessTokenSource *google, AccessTokenSource *dropbox);

    // "dropbox" (any letter case) cleans up in Dropbox, anything else in Google Drive.
    QCoro::Task<std::optional<QString>> clean(QString driveFileID, QString provider);
    // Drive's answer to deleting one file with the current access token; its answers to slow
    // down and its 5xx are waited out as the uploads wait them out, and one still so at the end
    // is a DriveError (a 404 is an answer: the file is gone). The expired-link sweeper deletes
    // through here too.
    QCoro::Task<Result<HttpResponse>> deleteDriveFile(QString fileID);
    // The pause before a request the provider asked to slow down, or answered with a temporary
    // failure, is made again (tests: none).
    void setRetryPause(Retry::Pause pause) { m_pause = std::move(pause); }

private:
    // One call with the account's current access token (see callAuthorized).
    QCoro::Task<Result<HttpResponse>> send(AccessTokenSource *tokens, QNetworkRequest request, QByteArray verb, QByteArray body = {});
    QCoro::Task<std::optional<QString>> cleanDropbox(QString path);
    QCoro::Task<std::optional<QString>> cleanDrive(QString fileID);

    Http *m_http;
    Endpoints m_endpoints;
    AccessTokenSource *m_google;
    AccessTokenSource *m_dropbox;
    Retry::Pause m_pause = Retry::sleep;
};
