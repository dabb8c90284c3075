#pragma once

#include <qcoro/qcorotask.h>

#include <optional>

namespace detail {
template<typename T>
QCoro::Task<void> storeInto(QCoro::Task<T> task, std::optional<T> *out)
{
    out->emplace(co_await task);
}
}

// Runs a nested event loop until `task` is done and returns its value. For command-line entry
// points, tests and benchmarks; QCoro::waitFor itself needs values that can be default-built.
template<typename T>
T awaitTask(QCoro::Task<T> &&task)
{
    std::optional<T> out;
    QCoro::waitFor(detail::storeInto(std::move(task), &out));
    return std::move(*out);
}

inline void awaitTask(QCoro::Task<void> &&task)
{
    QCoro::waitFor(std::move(task));
}
