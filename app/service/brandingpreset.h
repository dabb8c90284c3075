#pragma once

#include "platform/error.h"

#include <QColor>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <optional>

// A named look for a link's download page: a background gradient and an accent colour, each
// given as colour text ("#RRGGBB").
struct BrandingPreset {
    qint64 id = 0;
    QString name;
    bool isDefault = false;
    QString gradientFrom;
    QString gradientTo;
    QString accentColor;

    bool operator==(const BrandingPreset &) const = default;

    static Result<BrandingPreset> fromJson(const QJsonObject &object, const QString &where);

    // Six hexadecimal digits, optionally after one "#" and surrounded by white space; anything
    // else gives no colour.
    static std::optional<QColor> colorFromText(const QString &text);
};
