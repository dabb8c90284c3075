#pragma once

#include "platform/defaultsstore.h"

#include <QObject>

// The light or dark look of the popover and settings, kept under "kavo-theme".
class ThemeStore : public QObject
{
    Q_OBJECT
    Q_PROPERTY(AppTheme theme READ theme WRITE setTheme NOTIFY themeChanged)
    Q_PROPERTY(bool isDark READ isDark NOTIFY themeChanged)
public:
    enum class AppTheme { light, dark };
    Q_ENUM(AppTheme)

    static inline const QString themeKey = QStringLiteral("kavo-theme");

    explicit ThemeStore(DefaultsStore defaults, QObject *parent = nullptr);

    AppTheme theme() const { return m_theme; }
    bool isDark() const { return m_theme == AppTheme::dark; }
    void setTheme(AppTheme theme);
    // Light when dark, dark otherwise.
    Q_INVOKABLE void toggle() { setTheme(isDark() ? AppTheme::light : AppTheme::dark); }

    static QString rawValue(AppTheme theme);
    // Exactly "light" or "dark".
    static std::optional<AppTheme> fromRaw(const QString &raw);

Q_SIGNALS:
    void themeChanged();

private:
    DefaultsStore m_defaults;
    AppTheme m_theme = AppTheme::light;
};
