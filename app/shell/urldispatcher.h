#pragma once

#include "platform/singleinstance.h"

#include <QObject>
#include <QStringList>
#include <QUrl>

// Sorts what reaches the running instance: local files become a drop, "vendrel://dropbox-auth…"
// is the answer a Dropbox sign-in waits for, and "kavo://setup…" / "vendrel://setup…" is the
// service's sign-in link.
class UrlDispatcher : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Whether an argument is one of Kavo's links (kavo:// or vendrel://) rather than a file.
    static bool isLink(const QString &argument);

    // Who takes sign-in links, and what it did with one. Without one (a `kavo share` run) they
    // are refused.
    using SetupLinkHandler = std::function<SingleInstance::Answer(const QUrl &link)>;
    void setSetupLinkHandler(SetupLinkHandler handler) { m_setupLinkHandler = std::move(handler); }

    // Handles the arguments of one `kavo` call: paths or file URLs, and links. The answer carries
    // what became of the sign-in links among them.
    SingleInstance::Answer dispatch(const QStringList &arguments, const QString &workingDirectory = {});

Q_SIGNALS:
    void filesDropped(const QList<QUrl> &files);
    void dropboxRedirectReceived(const QUrl &callback);

private:
    SingleInstance::Answer dispatchUrl(const QUrl &url);

    SetupLinkHandler m_setupLinkHandler;
};
