#include "authorizedcall.h"

#include "platform/http.h"

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
