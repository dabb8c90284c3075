#include "desktop.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QVariantMap>

void SystemClipboard::setText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(text, QClipboard::Clipboard);
}

DBusNotifier::DBusNotifier(Fallback fallback)
    : m_fallback(std::move(fallback))
{
}

void DBusNotifier::notify(const QString &title, const QString &body)
{
    static const QString service = QStringLiteral("org.freedesktop.Notifications");
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool available = bus.isConnected() && bus.interface()
        && bus.interface()->isServiceRegistered(service).value();
    if (!available) {
        if (m_fallback)
            m_fallback(title, body);
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                                          service, QStringLiteral("Notify"));
    message << QStringLiteral("Kavo") << 0u << QStringLiteral("kavo") << title << body << QStringList()
            << QVariantMap() << -1;
    // Fire and forget: a notification server that is slow to answer must not hold up the caller.
    bus.asyncCall(message);
}
