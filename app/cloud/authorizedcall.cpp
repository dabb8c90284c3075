#include "authorizedcall.h"

#include "platform/http.h"

#include <QNetworkRequest>

QCoro::Task<Result<HttpResponse>> callAuthorized(AccessTokenSource *tokens, AuthorizedSend send)
{
    for (int attempt = 0;; ++attempt) {
        const Result<QString> token = co_await tokens->validAccessToken();
        if (!token)
            co_return token.error();
        Result<HttpResponse> answer = co_await send(token.value());
        if (!answer || answer->status != 401 || attempt > 0)
            co_return answer;
        tokens->refuseAccessToken(token.value());
    }
}

QCoro::Task<Result<HttpResponse>> sendAuthorized(Http *http, AccessTokenSource *tokens, QNetworkRequest request, QByteArray verb,
                                                 QByteArray body)
{
    // Named, not temporaries of the co_await: GCC 12 destroys those twice.
    const AuthorizedSend send = [http, request, verb, body](QString token) -> QCoro::Task<Result<HttpResponse>> {
        QNetworkRequest authorized = request;
        authorized.setRawHeader("Authorization", "Bearer " + token.toUtf8());
        co_return co_await http->send(authorized, verb, body);
    };
    QCoro::Task<Result<HttpResponse>> calling = callAuthorized(tokens, send);
    co_return co_await calling;
}
