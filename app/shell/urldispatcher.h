#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

class WebAuthSession;

// Sorts what reaches the running instance: local files become a drop, "vendrel://dropbox-auth…"
// goes to the sign-in waiting for it, and "kavo://setup…" / "vendrel://setup…" is the service's
// sign-in link.
class UrlDispatcher : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The sign-in that waits for a custom-scheme redirect, if any.
    void setPendingSession(WebAuthSession *session) { m_pending = session; }

    // Handles the arguments of one `kavo` call: paths or file URLs, and links.
    void dispatch(const QStringList &arguments, const QString &workingDirectory = {});

Q_SIGNALS:
    void filesDropped(const QList<QUrl> &files);
    void setupLinkReceived(const QUrl &link);

private:
    void dispatchUrl(const QUrl &url);
    QPointer<WebAuthSession> m_pending;
};
