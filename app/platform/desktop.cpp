#include "desktop.h"

#include "localpath.h"

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
    const bool allLocal = std::ranges::all_of(urls, [](const QUrl &url) { return url.isLocalFile(); });
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

namespace {
const QString notificationService = QStringLiteral("org.freedesktop.Notifications");
const QString notificationPath = QStringLiteral("/org/freedesktop/Notifications");
}

DBusNotifier::DBusNotifier(Fallback fallback, QObject *parent)
    : QObject(parent)
    , m_fallback(std::move(fallback))
{
    // Asked ahead, so that a notification is not held up by the question (nor lost when a short
    // command ends right after it).
    askCapabilities();
}

void DBusNotifier::askCapabilities()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (m_asking || !bus.isConnected())
        return;
    m_asking = true;
    const QDBusMessage ask
        = QDBusMessage::createMethodCall(notificationService, notificationPath, notificationService, QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *answered) {
        answered->deleteLater();
        m_asking = false;
        const QDBusPendingReply<QStringList> capabilities = *answered;
        // No answer (no server yet): what waited goes as plain text, and the next one asks again.
        if (!capabilities.isError())
            m_capabilities = capabilities.value();
        const QStringList known = m_capabilities.value_or(QStringList());
        for (const Waiting &waiting : std::exchange(m_waiting, {}))
            send(waiting.title, waiting.body, waiting.actions, known);
    });
}

void DBusNotifier::notify(const QString &title, const QString &body, const QList<NotificationAction> &actions)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool available = bus.isConnected() && bus.interface() && bus.interface()->isServiceRegistered(notificationService).value();
    if (!available) {
        if (m_fallback)
            m_fallback(title, body);
        return;
    }
    if (m_capabilities) {
        send(title, body, actions, *m_capabilities);
        return;
    }
    // A slow server must not hold up the caller: the notification goes once it has answered.
    m_waiting.append({title, body, actions});
    askCapabilities();
}

void DBusNotifier::send(const QString &title, const QString &body, const QList<NotificationAction> &offered,
                        const QStringList &capabilities)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const bool withActions = m_offersActions && capabilities.contains(QStringLiteral("actions"));
    const QList<NotificationAction> actions = withActions ? offered : QList<NotificationAction>();
    // A server that takes markup in the body would read a file named "Tom & Jerry <draft>.txt" as
    // markup: the text is escaped for it. The summary is never markup.
    const QString shownBody = capabilities.contains(QStringLiteral("body-markup")) ? body.toHtmlEscaped() : body;
    QStringList pairs;
    for (const NotificationAction &action : actions)
        pairs << action.key << action.label;
    QDBusMessage message
        = QDBusMessage::createMethodCall(notificationService, notificationPath, notificationService, QStringLiteral("Notify"));
    message << QStringLiteral("Kavo") << 0u << QStringLiteral("kavo") << title << shownBody << pairs
            << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("kavo")}} << -1;
    const QDBusPendingCall sent = bus.asyncCall(message);
    if (actions.isEmpty())
        return;
    if (!m_listening) {
        bus.connect(notificationService, notificationPath, notificationService, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
        bus.connect(notificationService, notificationPath, notificationService, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
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
