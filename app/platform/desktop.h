#pragma once

#include <QString>

#include <functional>

// The clipboard as the upload pipeline uses it: replace what is there with plain text.
class Clipboard
{
public:
    virtual ~Clipboard() = default;
    virtual void setText(const QString &text) = 0;
};

// The system clipboard of the running QGuiApplication. The primary selection is left alone.
class SystemClipboard : public Clipboard
{
public:
    void setText(const QString &text) override;
};

// User-visible notifications (title and informative text).
class Notifier
{
public:
    virtual ~Notifier() = default;
    virtual void notify(const QString &title, const QString &body) = 0;
};

// org.freedesktop.Notifications on the session bus; when that is not there, `fallback`
// (the tray's message balloon) is called instead, if set.
class DBusNotifier : public Notifier
{
public:
    using Fallback = std::function<void(const QString &title, const QString &body)>;
    explicit DBusNotifier(Fallback fallback = {});
    void setFallback(Fallback fallback) { m_fallback = std::move(fallback); }
    void notify(const QString &title, const QString &body) override;

private:
    Fallback m_fallback;
};
