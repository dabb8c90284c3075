#pragma once

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <optional>

// One drop on its way to a share link, as the upload rows show it.
struct UploadJob {
    Q_GADGET
public:
    // In the order a job passes through them (the panel reads "before Registering" as running).
    enum class State { Queued, Preparing, Zipping, Uploading, Registering, Done, Failed };
    Q_ENUM(State)

    QUuid id = QUuid::createUuid();
    QList<QUrl> sourceURLs;
    QString displayName;
    State state = State::Queued;
    double progress = 0.0;
    qint64 totalBytes = 0;
    std::optional<QString> shareURL;
    std::optional<QString> errorMessage;
    std::optional<QString> token;
    std::optional<qint64> presetID;
    std::optional<qint64> expiryDays;
    std::optional<QString> expiresAt;
    bool isProtected = false;
    // While the job waits before trying again: until when, and whether it waits for the network
    // to come back (rather than for a server that asked it to slow down, or a retry pause).
    std::optional<QDateTime> waitingUntil;
    bool waitingForNetwork = false;
    // Waiting for the user to sign in to the service: nothing is sent to a provider until then.
    bool waitingForAccount = false;
    // Something the user should know while the job goes on (it will not survive a restart).
    std::optional<QString> warning;

    // A new job for the dropped locations: named after the single source, or "N items".
    static UploadJob forDrop(const QList<QUrl> &urls);
    QStringList sourcePaths() const;
    // What the job is called where it is shown: its display name, else the last path component
    // of its first source, else "Upload".
    static QString title(const QString &displayName, const QList<QUrl> &sources);
    QString title() const { return title(displayName, sourceURLs); }
    static QString stateName(State state);
};
