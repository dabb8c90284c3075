#pragma once

#include "platform/error.h"
#include "storageprovider.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

// What a finished upload yields. `providerFileID` is the provider's handle for the file (the Drive
// file id, or the file's path inside the app's Dropbox folder); `directURL` downloads the file
// directly and is set by Dropbox only.
struct CloudUploadResult {
    StorageProvider provider = StorageProvider::google;
    QString providerFileID;
    std::optional<QString> directURL;
};

// A fraction of bytes sent, 0.0 to 1.0. The uploaders call it on the main thread (through a
// ProgressReporter), in order, possibly after the upload has returned.
using ProgressCallback = std::function<void(double fraction)>;

// Where a provider's upload session stands, so that an interrupted upload goes on from there
// rather than from byte 0. `handle` is Drive's session URL (a credential: whoever holds it may
// write to the session) or Dropbox's session id; `path` is where a Dropbox session commits to;
// `offset` counts the bytes the provider has confirmed; `size` is the file's size when the
// session started. `finishing` says a Dropbox commit was sent and its answer may be lost.
struct UploadSession {
    QString handle;
    QString path;
    qint64 offset = 0;
    qint64 size = 0;
    bool finishing = false;

    bool isEmpty() const { return handle.isEmpty(); }
    bool operator==(const UploadSession &) const = default;
};

// What one upload may send, whatever the server answers: twice the file plus 8 MiB in all, in no
// more requests than twice those the file needs plus 8. A session that keeps asking for bytes it
// was already sent (answers moving back and forth between offsets) is given up on instead of
// being fed for ever.
class SendBudget
{
public:
    SendBudget(qint64 fileSize, qint64 requestSize);
    // Takes one request of `length` bytes from the budget; false when that would go past it.
    bool take(qint64 length);
    // The refusal of a session that ran through the budget, in the provider's error domain.
    Error exhausted(const QString &domain, StorageProvider provider) const;

    static constexpr int exhaustedCode = -3;

private:
    qint64 m_fileSize;
    qint64 m_bytesLeft;
    qint64 m_requestsLeft;
    qint64 m_sent = 0;
};

// The one operation every uploader offers to the upload queue. The file is stored under the last
// path component of `filePath`.
//
// `session` is where an earlier attempt left off (empty for a new upload): the uploader asks the
// provider where it stands and sends only what it lacks, or starts a new session when that one is
// gone or was for a file of another size. `sessionChanged` hears every change (started, offset
// confirmed, commit sent, dropped), on the caller's thread, so the caller can keep it; it is
// never empty.
class CloudUploader
{
public:
    using SessionCallback = std::function<void(const UploadSession &)>;

    virtual ~CloudUploader() = default;
    virtual QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress,
                                                          UploadSession session, SessionCallback sessionChanged)
        = 0;
    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress)
    {
        return upload(std::move(filePath), std::move(mimeType), std::move(progress), UploadSession{}, [](const UploadSession &) {});
    }
};

// The part of a provider's sign-in object the upload queue needs.
class CloudAuth
{
public:
    virtual ~CloudAuth() = default;
    virtual bool isSignedIn() const = 0;
    // Finishes once the stored sign-in has been read from the keychain; until then isSignedIn()
    // is false although a sign-in may be stored.
    virtual QCoro::Task<void> restored() { co_return; }
    // The stored sign-in could not be read because the keyring holding it is locked.
    virtual bool isKeyringLocked() const { return false; }
    // Interactive sign-in; completes signed in or fails with the sign-in error.
    virtual QCoro::Task<Result<void>> signIn() = 0;
    // Ends a pending sign-in at once (it fails as cancelled); nothing when none is pending.
    virtual void cancelSignIn() {}
};
