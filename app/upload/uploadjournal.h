#pragma once

#include "cloud/clouduploader.h"
#include "uploadjob.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <optional>

// What the queue keeps of one unfinished job besides its row, so that it comes back after Kavo
// quits, crashes or the session ends: when it was dropped and what was chosen then, the prepared
// file, the provider's upload session, the cloud file once the bytes are up, and whether the
// registration went out. What was dropped, the name and the state are the row's (UploadJob).
struct UploadRecord {
    QUuid id;
    QDateTime droppedAt;
    // The preferences when the drop was made.
    qint64 expiryDays = 0;
    std::optional<qint64> presetID;
    // Set once the job has picked its provider; its upload session belongs to that provider.
    std::optional<StorageProvider> provider;

    // The file that is uploaded (the source itself, or the archive made of the sources), with
    // its size and modification time, which say whether it is still the same file.
    struct Prepared {
        QString path;
        QString name;
        QString mimeType;
        qint64 size = 0;
        qint64 modifiedMs = 0;
        bool operator==(const Prepared &) const = default;
    };
    std::optional<Prepared> prepared;

    // The provider's session. A Drive session URL is a credential and never written to the
    // journal: `session.handle` is empty there, and the URL lives in the secret store under
    // sessionSecretAccount(id).
    UploadSession session;
    std::optional<CloudUploadResult> cloud;
    // The registration request went out, so the service may hold a link for this upload.
    bool registrationSent = false;

    static QString sessionSecretAccount(const QUuid &id);
    // Whether the session's handle is kept in the secret store rather than here.
    bool sessionHandleIsSecret() const { return provider == StorageProvider::google; }
};

// One line of the journal: the job's row as far as it outlives a run (its id, sources, name and
// state) and its record.
struct JournalEntry {
    UploadJob job;
    UploadRecord record;

    QJsonObject toJson() const;
    // The entry of one journal line; no value (and `problem` says why) when it cannot be read.
    static std::optional<JournalEntry> fromJson(const QJsonObject &object, QString *problem);
};

// The unfinished jobs, one JSON object a line, in $XDG_STATE_HOME/kavo/uploads.jsonl. The queue
// hands over every unfinished job at each change; the journal rewrites the file whole through a
// temporary file that replaces it (mode 0600), so a
// crash leaves the old version or the new one. A line that cannot be read is logged and left
// out; the rest come back. When any line was unreadable, the file as it was is kept beside it as
// uploads.jsonl.unreadable before it is next written.
class UploadJournal
{
public:
    explicit UploadJournal(QString path);
    // $XDG_STATE_HOME/kavo/uploads.jsonl (~/.local/state when unset).
    static QString defaultPath();

    QString path() const { return m_path; }
    // Reads the file; the jobs it holds, in the order they were written.
    QList<JournalEntry> load();
    // Writes the file to hold these jobs (none: the file goes). Returns why it could not be
    // written (it then holds what it held before), or an empty string.
    QString write(const QList<JournalEntry> &entries);

private:
    QString m_path;
    bool m_keepUnreadable = false;
};
