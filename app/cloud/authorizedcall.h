#pragma once

#include "platform/error.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <functional>

class Http;
class QNetworkRequest;
struct HttpResponse;

// Where a provider call gets its access token: the signed-in Google or Dropbox account, which
// keeps a token in memory and refreshes it shortly before it runs out.
class AccessTokenSource
{
public:
    virtual ~AccessTokenSource() = default;
    virtual QCoro::Task<Result<QString>> validAccessToken() = 0;
    // The provider refused `token` (401): it expired early or was revoked. The next
    // validAccessToken() asks for a new one instead of handing it out again.
    virtual void refuseAccessToken(const QString &token) { Q_UNUSED(token); }
};

// One call to Drive or Dropbox with the access token valid at the moment it goes out (not one
// taken when a long upload began). `send` makes the request with the token it is given. A 401
// answer, for a token that expired or was revoked in the meantime, makes the account refresh
// it, and the request is made once more with the new token; a second 401 is the answer.
using AuthorizedSend = std::function<QCoro::Task<Result<HttpResponse>>(QString token)>;
QCoro::Task<Result<HttpResponse>> callAuthorized(AccessTokenSource *tokens, AuthorizedSend send);
// The same for a request sent whole by `http`, with "Authorization: Bearer <token>" added.
QCoro::Task<Result<HttpResponse>> sendAuthorized(Http *http, AccessTokenSource *tokens, QNetworkRequest request, QByteArray verb,
                                                 QByteArray body = {});
