#pragma once

#include "platform/error.h"
#include "platform/logging.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>

// Retrying transient network failures, slowing down when a server asks for it, waiting for the
// network, and the sentence a user reads for any pipeline error.
namespace Retry {
inline constexpr int maxAttempts = 3;
// Throttled answers (429, 503, rate-limit refusals) one operation takes before it gives up.
inline constexpr int maxThrottledAnswers = 5;
// The longest wait a Retry-After is honoured for; a longer one is cut to this.
inline constexpr std::chrono::milliseconds longestRetryAfter{120000};
// Network waits: the first try again after this, doubling up to the longest.
inline constexpr std::chrono::milliseconds firstNetworkWait{5000};
inline constexpr std::chrono::milliseconds longestNetworkWait{60000};

// The pause between attempts; tests hand in one that does not sleep.
using Pause = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;
QCoro::Task<void> sleep(std::chrono::milliseconds duration);
// Waits up to the given time for the network to come back (sooner when the system says it is
// back); false when the operation should give up instead (its job was removed).
using NetworkWait = std::function<QCoro::Task<bool>(std::chrono::milliseconds longest)>;

// Secure connection failed, connection lost, timed out, cannot connect.
bool isTransient(const Error &error);
// No connection could be made: offline, the host not found or refusing connections.
bool isUnreachable(const Error &error);
std::chrono::milliseconds pauseAfter(int failures);
// The wait after the n-th throttled answer: its Retry-After (cut to longestRetryAfter), else
// 1, 2, 4, 8 s, each shortened at random by up to half so that clients spread out.
std::chrono::milliseconds throttledWait(const Error &error, int throttled);
std::chrono::milliseconds networkWait(int waits);
void logRetry(int failures, std::chrono::milliseconds pause, const Error &error);
void logThrottled(int throttled, std::chrono::milliseconds pause, const Error &error);
void logNetworkWait(std::chrono::milliseconds longest, const Error &error);

struct Hooks {
    Pause pause = sleep;
    // When set, an attempt that could not reach its host waits for the network and is made
    // again, as often as it takes, without counting as a failure.
    NetworkWait waitForNetwork;
};
}

// Runs `operation` (called afresh for each attempt) again:
// - up to three attempts in all while it fails with a transient network error, pausing 1 s
//   after the first failure and 3 s after the second;
// - after a throttled answer, up to five such answers in all, waiting as throttledWait says;
// - with a network wait, after each failure to reach the host, once the network may be back.
// Any other error, or the one that ends a budget, is returned unchanged.
template<typename T>
QCoro::Task<Result<T>> withRetry(std::function<QCoro::Task<Result<T>>()> operation, Retry::Hooks hooks)
{
    int failures = 0, throttled = 0, networkWaits = 0;
    for (;;) {
        Result<T> result = co_await operation();
        if (result.ok())
            co_return result;
        const Error &error = result.error();
        if (error.throttled) {
            if (++throttled >= Retry::maxThrottledAnswers)
                co_return result;
            const std::chrono::milliseconds wait = Retry::throttledWait(error, throttled);
            Retry::logThrottled(throttled, wait, error);
            co_await hooks.pause(wait);
            continue;
        }
        if (hooks.waitForNetwork && Retry::isUnreachable(error)) {
            const std::chrono::milliseconds longest = Retry::networkWait(++networkWaits);
            Retry::logNetworkWait(longest, error);
            const bool goOn = co_await hooks.waitForNetwork(longest);
            if (!goOn)
                co_return result;
            continue;
        }
        ++failures;
        if (!Retry::isTransient(error) || failures >= Retry::maxAttempts)
            co_return result;
        const std::chrono::milliseconds wait = Retry::pauseAfter(failures);
        Retry::logRetry(failures, wait, error);
        co_await hooks.pause(wait);
    }
}

template<typename T>
QCoro::Task<Result<T>> withRetry(std::function<QCoro::Task<Result<T>>()> operation, Retry::Pause pause = Retry::sleep)
{
    return withRetry<T>(std::move(operation), Retry::Hooks{std::move(pause), {}});
}

class AccessTokenSource;
class Http;
class QNetworkRequest;
struct HttpResponse;

namespace Retry {
// One call to Drive or Dropbox with the account's current access token (see callAuthorized),
// made again as withRetry says while `refusal` reads its answer as one to slow down or a
// temporary failure; when such answers never stop, the last one is the answer.
QCoro::Task<Result<HttpResponse>> sendWaitingOut(Http *http, AccessTokenSource *tokens, QNetworkRequest request, QByteArray verb,
                                                 QByteArray body, Error (*refusal)(const HttpResponse &), Pause pause);
}

// The text the upload row shows for `error`.
QString userMessage(const Error &error);
