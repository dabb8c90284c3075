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
    // down and its 5xx are waited out as the uploads wait them out. The expired-link sweeper
    // deletes through here too.
    QCoro::Task<Result<HttpResponse>> deleteDriveFile(QString fileID);
    // The pause before a request the provider asked to slow down, or answered with a temporary
    // failure, is made again (tests: none).
    void setRetryPause(Retry::Pause pause) { m_pause = std::move(pause); }

private:
    QCoro::Task<std::optional<QString>> cleanDropbox(QString path);
    QCoro::Task<std::optional<QString>> cleanDrive(QString fileID);

    Http *m_http;
    Endpoints m_endpoints;
    AccessTokenSource *m_google;
    AccessTokenSource *m_dropbox;
    Retry::Pause m_pause = Retry::sleep;
};
