#include "sharecommand.h"

#include "links/linkactions.h"
#include "upload/uploadmanager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTextStream>

#include "platform/terminaltext.h"

#include <cstdio>
#include <unistd.h>

namespace {
QString stageText(UploadJob::State state)
{
    switch (state) {
    case UploadJob::State::Queued:
    case UploadJob::State::Preparing:
        return QStringLiteral("Preparing");
    case UploadJob::State::Zipping:
        return QStringLiteral("Zipping");
    case UploadJob::State::Uploading:
        return QStringLiteral("Uploading");
    case UploadJob::State::Registering:
        return QStringLiteral("Creating link");
    case UploadJob::State::Done:
        return QStringLiteral("Done");
    case UploadJob::State::Failed:
        return QStringLiteral("Failed");
    }
    return {};
}
}

int runShareCommand(UploadManager &manager, const QStringList &paths)
{
    QList<QUrl> given;
    for (const QString &path : paths) {
        const QUrl url(path, QUrl::StrictMode); // a path that is not text comes as a file URL
        given.append(url.isLocalFile() ? url : QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
    }
    const QList<QUrl> urls = reachableFiles(given);
    if (urls.isEmpty()) {
        std::fputs("kavo: none of these can be shared\n", stderr);
        return 1;
    }

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    QTextStream err(stderr);
    std::optional<UploadJob::State> shownState;
    int shownPercent = -1;
    std::optional<QDateTime> shownWait;
    QUuid id;
    const auto show = [&] {
        const std::optional<UploadJob> job = manager.job(id);
        if (!job || job->state == UploadJob::State::Done || job->state == UploadJob::State::Failed)
            return;
        if (job->waitingUntil != shownWait) {
            shownWait = job->waitingUntil;
            if (shownWait) {
                const QString wait
                    = LinkActions::waitText(double(QDateTime::currentDateTimeUtc().msecsTo(*shownWait)), job->waitingForNetwork);
                if (terminal)
                    err << '\r' << wait << "\x1b[K";
                else
                    err << "kavo: " << wait << Qt::endl;
                err.flush();
                shownState.reset();
                return;
            }
        }
        const int percent = int(job->progress * 100);
        if (terminal) {
            if (job->state == shownState && percent == shownPercent)
                return;
            // The bar only while bytes move; the other stages have no measure of their own.
            err << '\r' << stageText(job->state).leftJustified(14);
            if (job->state == UploadJob::State::Uploading) {
                constexpr int width = 30;
                const int filled = std::clamp(percent, 0, 100) * width / 100;
                err << '[' << QString(filled, QLatin1Char('#')) << QString(width - filled, QLatin1Char('-')) << "] "
                    << QString::number(std::clamp(percent, 0, 100)).rightJustified(3) << "% ";
            }
            err << terminalSafe(job->displayName.left(40)) << "\x1b[K";
            err.flush();
        } else if (job->state != shownState) {
            err << "kavo: " << stageText(job->state) << ' ' << terminalSafe(job->displayName) << Qt::endl;
        }
        shownState = job->state;
        shownPercent = percent;
    };

    int exitCode = 1;
    QObject::connect(manager.uploads(), &QAbstractItemModel::dataChanged, &manager, show);
    QObject::connect(&manager, &UploadManager::jobFinished, &manager, [&](const QUuid &finished, bool succeeded) {
        if (finished != id)
            return;
        if (terminal && shownState) {
            err << "\r\x1b[K";
            err.flush(); // before the link goes to standard output on the same terminal
        }
        const std::optional<UploadJob> job = manager.job(finished);
        if (succeeded && job && job->shareURL) {
            QTextStream(stdout) << terminalSafe(*job->shareURL) << Qt::endl;
            exitCode = 0;
        } else {
            err << "kavo: " << terminalSafe(job ? job->errorMessage.value_or(QString()) : QString()) << Qt::endl;
        }
        QCoreApplication::exit(exitCode);
    });
    id = manager.enqueue(urls);
    QCoreApplication::exec();
    return exitCode;
}
