#pragma once

#include <QString>

#include <chrono>
#include <optional>
#include <utility>
#include <variant>

// An error value. `domain` says which family it belongs to (an upload refusal, a transport
// failure, a service answer, ...), `code` is the case within that family, and `description` is
// exactly the text the user reads.
struct Error {
    Error() = default;
    Error(QString domain, int code, QString description)
        : domain(std::move(domain))
        , code(code)
        , description(std::move(description))
    {
    }

    QString domain;
    int code = 0;
    QString description;
    // The server asked the client to slow down (429, 503, a rate-limit refusal), and how long
    // to wait when it said so (Retry-After).
    bool throttled = false;
    std::optional<std::chrono::milliseconds> retryAfter;

    bool is(const QString &d, int c) const { return domain == d && code == c; }
};

namespace ErrorDomain {
// The URL-loading domain: transport failures, coded as the retry and wording rules expect.
inline const QString transport = QStringLiteral("url");
// File-system failures (creating folders, reading files).
inline const QString file = QStringLiteral("file");
}

// URL-loading codes that transport errors are mapped to.
namespace TransportCode {
enum : int {
    cancelled = -999,
    timedOut = -1001,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    notConnectedToInternet = -1009,
    secureConnectionFailed = -1200,
    serverCertificateUntrusted = -1202,
    clientCertificateRejected = -1205,
    dataLengthExceedsMaximum = -1103,
    // A redirect to another origin, not followed with the request's credentials.
    redirectedElsewhere = -1010,
    unknown = -1,
};
}

// The outcome of an operation: a value or an error. Nothing in the application throws.
//
// Two QCoro 0.8 / GCC 12 pitfalls shape how coroutines here are written:
// - `co_return x;` with a non-const lvalue `x` moves from it (QCoro's return_value forwards with
//   std::move), so a member or anything that must survive is returned as a copy.
// - A capturing lambda is never a temporary inside a co_await expression (as in
//   `co_await QtConcurrent::run([=] {...})` or `co_await withRetry([=] {...})`): GCC 12 destroys
//   its captures twice. The lambda, or the future or task made from it, is a named local first.
//   The same goes for braced initializer lists (`co_await post(path, {{"token", t}})` does not
//   even compile): the object is built as a named local.
template<typename T>
class [[nodiscard]] Result
{
public:
    Result(T value)
        : m_data(std::in_place_index<0>, std::move(value))
    {
    }
    Result(Error error)
        : m_data(std::in_place_index<1>, std::move(error))
    {
    }

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<0>(m_data); }
    T &value() & { return std::get<0>(m_data); }
    T &&value() && { return std::get<0>(std::move(m_data)); }
    const T &operator*() const & { return value(); }
    const T *operator->() const { return &value(); }
    const Error &error() const { return std::get<1>(m_data); }

private:
    std::variant<T, Error> m_data;
};

template<>
class [[nodiscard]] Result<void>
{
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error))
    {
    }

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error &error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};
