#include "urldispatcher.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

bool UrlDispatcher::isLink(const QString &argument)
{
    const QString scheme = QUrl(argument, QUrl::StrictMode).scheme().toLower();
    return scheme == QLatin1String("kavo") || scheme == QLatin1String("vendrel");
}

SingleInstance::Answer UrlDispatcher::dispatch(const QStringList &arguments, const QString &workingDirectory)
{
    QStringList refusals;
    QStringList notes;
    QList<QUrl> files;
    for (const QString &argument : arguments) {
        const QUrl url(argument, QUrl::StrictMode);
        if (isLink(argument)) {
            const SingleInstance::Answer answer = dispatchUrl(url);
            if (!answer.refusal.isEmpty())
                refusals.append(answer.refusal);
            if (!answer.note.isEmpty())
                notes.append(answer.note);
        } else if (url.scheme().toLower() == QLatin1String("file")) {
            files.append(url);
        } else {
            const QString path = QDir::isAbsolutePath(argument) ? argument : QDir(workingDirectory).absoluteFilePath(argument);
            files.append(QUrl::fromLocalFile(QDir::cleanPath(path)));
        }
    }
    if (!files.isEmpty())
        Q_EMIT filesDropped(files);
    return {refusals.join(QLatin1Char(' ')), notes.join(QLatin1Char('\n'))};
}

SingleInstance::Answer UrlDispatcher::dispatchUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    const QString host = url.host().toLower();
    if (scheme == QLatin1String("vendrel") && host == QLatin1String("dropbox-auth")) {
        Q_EMIT dropboxRedirectReceived(url);
        return {};
    }
    if (host == QLatin1String("setup")) {
        if (m_setupLinkHandler)
            return m_setupLinkHandler(url);
        return {QStringLiteral("Kavo is busy with `kavo share` and can't take a sign-in link now. Open it again once that has finished."),
                {}};
    }
    qInfo("kavo: ignoring a link it does not know (%s://%s)", qPrintable(scheme), qPrintable(host));
    return {};
}
