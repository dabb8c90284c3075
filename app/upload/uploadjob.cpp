#include "uploadjob.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>

UploadJob UploadJob::forDrop(const QList<QUrl> &urls)
{
    UploadJob job;
    job.sourceURLs = urls;
    if (urls.size() == 1) {
        const QUrl &url = urls.first();
        job.displayName = url.isLocalFile() ? QFileInfo(QDir::cleanPath(url.toLocalFile())).fileName()
                                            : url.adjusted(QUrl::StripTrailingSlash).fileName();
    } else {
        job.displayName = QString::number(urls.size()) + QStringLiteral(" items");
    }
    return job;
}

QStringList UploadJob::sourcePaths() const
{
    QStringList paths;
    paths.reserve(sourceURLs.size());
    for (const QUrl &url : sourceURLs)
        paths.append(url.isLocalFile() ? url.toLocalFile() : url.toString());
    return paths;
}

QString UploadJob::title(const QString &displayName, const QList<QUrl> &sources)
{
    if (!displayName.isEmpty())
        return displayName;
    const QString last = sources.isEmpty() ? QString() : sources.first().adjusted(QUrl::StripTrailingSlash).fileName();
    return last.isEmpty() ? QStringLiteral("Upload") : last;
}

QString UploadJob::stateName(State state)
{
    // The enum's key in lower case ("uploading"), as the journal has always stored it.
    return QString::fromLatin1(QMetaEnum::fromType<State>().valueToKey(int(state))).toLower();
}
