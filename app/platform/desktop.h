#pragma once

#include "clipboard.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

#include <functional>

class QMimeData;

// `urls` when every one of them is a local file, else nothing: files handed to Kavo (a drop, a
// paste, a chooser's answer, the command line) are taken whole or refused whole. No I/O: it is
// asked while a drag moves.
QList<QUrl> localFilesOnly(const QList<QUrl> &urls);
// localFilesOnly() for files being taken: a file whose path is not valid UTF-8 comes back as the
// URL of its alias (localpath.h), made now; nothing when one cannot be made.
QList<QUrl> reachableFiles(const QList<QUrl> &urls);

// The files a file manager put on the clipboard with "Copy" (or "Cut"): `text/uri-list`, or
// GNOME's `x-special/gnome-copied-files` ("copy" or "cut", then one URI a line). Anything else,
// text that merely looks like a path among it, gives nothing.
QList<QUrl> copiedFiles(const QMimeData *data);

// Something a notification offers to do, as a button on it.
struct NotificationAction {
    QString key; // the action's name on the bus
    QString label; // what its button says
    std::function<void()> run;
};

// User-visible notifications (title and informative text), with what they offer to do where the
// desktop shows such buttons.
class Notifier
{
public:
    virtual ~Notifier() = default;
    virtual void notify(const QString &title, const QString &body, const QList<NotificationAction> &actions = {}) = 0;
};

// org.freedesktop.Notifications on the session bus; when that is not there, `fallback`
// (the tray's message balloon) is called instead, if set. Actions go along only when this
// process stays to hear them (`setOffersActions`) and the server has the "actions" capability;
// an invoked action runs here.
class DBusNotifier : public QObject, public Notifier
{
    Q_OBJECT
public:
    using Fallback = std::function<void(const QString &title, const QString &body)>;
    explicit DBusNotifier(Fallback fallback = {}, QObject *parent = nullptr);
    void setFallback(Fallback fallback) { m_fallback = std::move(fallback); }
    void setOffersActions(bool offers) { m_offersActions = offers; }
    void notify(const QString &title, const QString &body, const QList<NotificationAction> &actions = {}) override;

private Q_SLOTS:
    void actionInvoked(uint id, const QString &key);
    void notificationClosed(uint id, uint reason);

private:
    void askCapabilities();
    void send(const QString &title, const QString &body, const QList<NotificationAction> &actions, const QStringList &capabilities);

    Fallback m_fallback;
    bool m_offersActions = false;
    std::optional<QStringList> m_capabilities; // the server's, once it has said
    bool m_asking = false;
    struct Waiting {
        QString title;
        QString body;
        QList<NotificationAction> actions;
    };
    QList<Waiting> m_waiting; // notifications sent once the server has said what it takes
    bool m_listening = false;
    QHash<uint, QList<NotificationAction>> m_shown; // notification id → its actions
};
