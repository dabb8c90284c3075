#include "themestore.h"

ThemeStore::ThemeStore(DefaultsStore defaults, QObject *parent)
    : QObject(parent)
    , m_defaults(std::move(defaults))
{
    m_theme = fromRaw(m_defaults.value(themeKey).toString()).value_or(AppTheme::light);
}

QString ThemeStore::rawValue(AppTheme theme)
{
    return theme == AppTheme::dark ? QStringLiteral("dark") : QStringLiteral("light");
}

std::optional<ThemeStore::AppTheme> ThemeStore::fromRaw(const QString &raw)
{
    if (raw == QLatin1String("dark"))
        return AppTheme::dark;
    if (raw == QLatin1String("light"))
        return AppTheme::light;
    return std::nullopt;
}

void ThemeStore::setTheme(AppTheme theme)
{
    if (theme == m_theme)
        return;
    m_theme = theme;
    Q_EMIT themeChanged();
    m_defaults.setValue(themeKey, rawValue(theme));
}
