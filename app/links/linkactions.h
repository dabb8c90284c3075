#pragma once

#include "platform/error.h"
#include "upload/uploadjob.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <QVariantMap>

#include <functional>

#include <qcoro/qcorotask.h>

class BackendAPI;
class Clipboard;
class CloudCleanup;
class HistoryStore;
class UploadManager;

// What the popover's rows and `kavo link` do with a link: the four link edits, each one service
// call that then patches the link's history row and the finished uploads of that link, made on
// a past link (by token) or a finished upload (by job id); deletion with the cloud file,
// copying, and the texts the rows show. Every outcome of
// an action on a past link arrives as `finished` for its token; what a row shows of it (the
// last error, a delete in flight) the history model keeps by token, as roles of its rows.
class LinkActions : public QObject
{
    Q_OBJECT
public:
    // A deleted link's cloud file goes through `cleanup`.
    LinkActions(BackendAPI *backend, CloudCleanup *cleanup, HistoryStore *history, UploadManager *uploads, Clipboard *clipboard,
                QObject *parent = nullptr);

    Q_INVOKABLE void copy(const QString &text);

    // Whether the history still lists a link of that token (its row can show the outcome).
    Q_INVOKABLE bool isListed(const QString &token) const;

    // Past links, by token.
    Q_INVOKABLE void setPreset(const QString &token, qint64 presetID);
    Q_INVOKABLE void setExpiry(const QString &token, qint64 days);
    Q_INVOKABLE void rename(const QString &token, const QString &currentName, const QString &input);
    Q_INVOKABLE void setPassword(const QString &token, const QString &password);
    Q_INVOKABLE void deleteLink(const QString &token, const QString &driveFileID, const QString &provider);
    // Mails the link; the address is sent trimmed, the note as typed.
    Q_INVOKABLE void sendLink(const QString &token, const QString &address, const QString &note);

    // Finished uploads, by job id; their failures show as the job's error.
    Q_INVOKABLE void changeJobDesign(const QString &jobID, qint64 presetID);
    Q_INVOKABLE void changeJobExpiry(const QString &jobID, qint64 days);
    Q_INVOKABLE void setJobPassword(const QString &jobID, const QString &password);
    Q_INVOKABLE void renameJob(const QString &jobID, const QString &input);
    // Takes the row away; the job's pipeline goes on unseen.
    Q_INVOKABLE void removeJob(const QString &jobID);
    // A failed upload's drop made again in its row's place.
    Q_INVOKABLE void retryJob(const QString &jobID);

    // The stage line of an upload row: "Uploading… 42%", "Zipping folder…", ...
    Q_INVOKABLE static QString stageText(UploadJob::State state, double progress);
    // A waiting job's line: "Waiting to retry… 12 s", or for the network "Waiting for the
    // network… next try in 12 s"; `msLeft` is rounded up to whole seconds (minutes from 2 min).
    Q_INVOKABLE static QString waitText(double msLeft, bool forNetwork);
    // An upload row's title: the job's display name, else the last path component of its first
    // source, else "Upload".
    Q_INVOKABLE static QString uploadTitle(const QString &displayName, const QList<QUrl> &sources);
    // The rename field's text, trimmed; empty when it would change nothing.
    Q_INVOKABLE static QString renamed(const QString &currentName, const QString &input);

Q_SIGNALS:
    // `error` is empty on success. A delete that succeeded with a cleanup warning has `warning`.
    void finished(const QString &token, const QString &action, const QString &error, const QString &warning = {});

private:
    // The four edits by token; a failure is the service's error.
    QCoro::Task<Result<void>> presetEdit(QString token, qint64 presetID);
    QCoro::Task<Result<void>> expiryEdit(QString token, qint64 days);
    QCoro::Task<Result<void>> renameEdit(QString token, QString name);
    QCoro::Task<Result<void>> passwordEdit(QString token, QString password);
    using Edit = std::function<QCoro::Task<Result<void>>(QString token)>;
    // A past link's edit, its outcome kept by token and announced as `finished`.
    void editLink(const QString &token, const QString &action, const Edit &edit);
    // A finished upload's edit; a failure shows as the job's error, after `prefix`. A job
    // without a link yet is left alone.
    QCoro::Task<void> editJob(QString jobID, QString prefix, Edit edit);

    struct Outcome {
        QString error; // empty on success
        QString warning; // a delete's cleanup warning
    };
    QCoro::Task<void> run(QString token, QString action, std::function<QCoro::Task<Outcome>()> work);

    BackendAPI *m_backend;
    CloudCleanup *m_cleanup;
    HistoryStore *m_history;
    UploadManager *m_uploads;
    Clipboard *m_clipboard;
};
