#pragma once

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

    // Handles the arguments of one `kavo` call: paths or file URLs, and links.
    void dispatch(const QStringList &arguments, const QString &workingDirectory = {});

Q_SIGNALS:
    void filesDropped(const QList<QUrl> &files);
    void setupLinkReceived(const QUrl &link);
    void dropboxRedirectReceived(const QUrl &callback);

private:
    void dispatchUrl(const QUrl &url);
};
