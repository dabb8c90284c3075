#include "brandingpreset.h"

#include <algorithm>

#include "jsonreader.h"

Result<BrandingPreset> BrandingPreset::fromJson(const QJsonObject &object, const QString &where)
{
    JsonReader json(object, where);
    BrandingPreset preset;
    preset.id = json.integer(QStringLiteral("id"));
    preset.name = json.string(QStringLiteral("name"));
    preset.isDefault = json.boolean(QStringLiteral("is_default"));
    preset.gradientFrom = json.string(QStringLiteral("gradient_from"));
    preset.gradientTo = json.string(QStringLiteral("gradient_to"));
    preset.accentColor = json.string(QStringLiteral("accent_color"));
    if (!json.ok())
        return *json.error();
    return preset;
}

std::optional<QColor> BrandingPreset::colorFromText(const QString &text)
{
    QString hex = text.trimmed();
    if (hex.startsWith(QLatin1Char('#')))
        hex.remove(0, 1);
    if (hex.size() != 6)
        return std::nullopt;
    bool ok = false;
    const uint rgb = hex.toUInt(&ok, 16);
    // toUInt accepts a sign or "0x"; only plain hexadecimal digits are colour text.
    const bool digitsOnly = std::ranges::all_of(hex, [](QChar c) { return std::isxdigit(c.unicode()) && c.unicode() < 128; });
    if (!ok || !digitsOnly)
        return std::nullopt;
    return QColor::fromRgbF(float(((rgb >> 16) & 0xff) / 255.0), float(((rgb >> 8) & 0xff) / 255.0), float((rgb & 0xff) / 255.0), 1.0f);
}
