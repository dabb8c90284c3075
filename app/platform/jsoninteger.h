#pragma once

#include <QJsonValue>

#include <cmath>
#include <optional>

// The value of a JSON number that is a whole number a qint64 holds exactly (3, 3.0, -7,
// 9223372036854775807); nothing for any other value (3.5, 1e19, "3", true, null).
inline std::optional<qint64> jsonInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d)
        return std::nullopt;
    // toInteger gives its default when the number does not fit: two defaults tell that apart.
    const qint64 whole = value.toInteger(0);
    if (whole != value.toInteger(1))
        return std::nullopt;
    return whole;
}
