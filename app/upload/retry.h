#pragma once

#include "platform/error.h"
#include "platform/logging.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>

// Retrying transient network failures, and the sentence a user reads for any pipeline error.
namespace Retry {
inline constexpr int maxAttempts = 3;

// The pause between attempts; tests hand in one that does not sleep.
using Pause = std::function<QCoro::Task<void>(std::chrono::seconds)>;
QCoro::Task<void> sleep(std::chrono::seconds duration);

// Secure connection failed, connection lost, timed out, cannot connect.
bool isTransient(const Error &error);
std::chrono::seconds pauseAfter(int failures);
void logRetry(int failures, std::chrono::seconds pause, const Error &error);
}

// Runs `operation` (called afresh for each attempt) up to three times while it fails with a
// transient network error, pausing 1 s after the first failure and 3 s after the second. Any
// other error, or the third transient one, is returned unchanged.
template<typename T>
QCoro::Task<Result<T>> withRetry(std::function<QCoro::Task<Result<T>>()> operation, Retry::Pause pause = Retry::sleep)
{
    int failures = 0;
    for (;;) {
        Result<T> result = co_await operation();
        if (result.ok())
            co_return result;
        ++failures;
        if (!Retry::isTransient(result.error()) || failures >= Retry::maxAttempts)
            co_return result;
        const std::chrono::seconds wait = Retry::pauseAfter(failures);
        Retry::logRetry(failures, wait, result.error());
        co_await pause(wait);
    }
}

// The text the upload row shows for `error`.
QString userMessage(const Error &error);
