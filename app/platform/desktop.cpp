#include "desktop.h"

#include "localpath.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QMimeData>
#include <QVariantMap>

#include <algorithm>

QList<QUrl> copiedFiles(const QMimeData *data)
{
    if (!data)
        return {};
    QList<QUrl> urls;
    const QString gnome = QStringLiteral("x-special/gnome-copied-files");
    if (data->hasFormat(gnome)) {
        const QStringList lines = QString::fromUtf8(data->data(gnome)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (qsizetype i = 1; i < lines.size(); ++i) // the first line says "copy" or "cut"
            urls.append(QUrl(lines[i].trimmed()));
    } else if (data->hasUrls()) {
        urls = data->urls();
    }
    return localFilesOnly(urls);
}

QList<QUrl> localFilesOnly(const QList<QUrl> &urls)
{
    const bool allLocal = std::all_of(urls.begin(), urls.end(), [](const QUrl &url) { return url.isLocalFile(); });
    return allLocal ? urls : QList<QUrl>();
}

QList<QUrl> reachableFiles(const QList<QUrl> &urls)
{
    QList<QUrl> reachable;
    for (const QUrl &url : localFilesOnly(urls)) {
        QString problem;
        const std::optional<QUrl> usable = LocalPath::reachable(url, &problem);
        if (!usable) {
            qWarning("kavo: %s", qUtf8Printable(problem));
            return {};
        }
        reachable.append(*usable);
    }
    return reachable;
}

void SystemClipboard::setText(const QString &text)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return;
    clipboard->clear(QClipboard::Clipboard);
    clipboard->setText(text, QClipboard::Clipboard);
}

namespace {
const QString notificationService = QStringLiteral("org.freedesktop.Notifications");
const QString notificationPath = QStringLiteral("/org/freedesktop/Notifications");
}

DBusNotifier::DBusNotifier(Fallback fallback, QObject *parent)
    : QObject(parent)
    , m_fallback(std::move(fallback))
{
}

void DBusNotifier::notify(const QString &title, const QString &body, const QList<NotificationAction> &actions)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool available = bus.isConnected() && bus.interface()
        && bus.interface()->isServiceRegistered(notificationService).value();
    if (!available) {
        if (m_fallback)
            m_fallback(title, body);
        return;
    }
    if (actions.isEmpty() || !m_offersActions) {
        send(title, body, {});
        return;
    }
    if (m_serverHasActions) {
        send(title, body, *m_serverHasActions ? actions : QList<NotificationAction>());
        return;
    }
    // Asked once, without waiting on it: a server slow to answer must not hold up the caller.
    const QDBusMessage ask = QDBusMessage::createMethodCall(notificationService, notificationPath, notificationService,
                                                            QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, title, body, actions](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        const QDBusPendingReply<QStringList> capabilities = *answered;
        m_serverHasActions = !capabilities.isError() && capabilities.value().contains(QStringLiteral("actions"));
        send(title, body, *m_serverHasActions ? actions : QList<NotificationAction>());
    });
}

void DBusNotifier::send(const QString &title, const QString &body, const QList<NotificationAction> &actions)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    QStringList pairs;
    for (const NotificationAction &action : actions)
        pairs << action.key << action.label;
    QDBusMessage message = QDBusMessage::createMethodCall(notificationService, notificationPath, notificationService,
                                                          QStringLiteral("Notify"));
    message << QStringLiteral("Kavo") << 0u << QStringLiteral("kavo") << title << body << pairs
            << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("kavo")}} << -1;
    const QDBusPendingCall sent = bus.asyncCall(message);
    if (actions.isEmpty())
        return;
    if (!m_listening) {
        bus.connect(notificationService, notificationPath, notificationService, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint,QString)));
        bus.connect(notificationService, notificationPath, notificationService, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint,uint)));
        m_listening = true;
    }
    auto *watcher = new QDBusPendingCallWatcher(sent, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, actions](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        const QDBusPendingReply<uint> id = *answered;
        if (!id.isError())
            m_shown.insert(id.value(), actions);
    });
}

void DBusNotifier::actionInvoked(uint id, const QString &key)
{
    const QList<NotificationAction> actions = m_shown.value(id);
    for (const NotificationAction &action : actions)
        if (action.key == key && action.run)
            action.run();
}

void DBusNotifier::notificationClosed(uint id, uint reason)
{
    Q_UNUSED(reason);
    m_shown.remove(id);
}
