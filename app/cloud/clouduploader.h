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

// A fraction of bytes sent, 0.0 to 1.0. May be called from any thread and after the upload has
// returned; the receiver carries each report to its own thread.
using ProgressCallback = std::function<void(double fraction)>;

// The one operation every uploader offers to the upload queue. The file is stored under the last
// path component of `filePath`.
class CloudUploader
{
public:
    virtual ~CloudUploader() = default;
    virtual QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType,
                                                          ProgressCallback progress) = 0;
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
    // Interactive sign-in; completes signed in or fails with the sign-in error.
    virtual QCoro::Task<Result<void>> signIn() = 0;
    // Ends a pending sign-in at once (it fails as cancelled); nothing when none is pending.
    virtual void cancelSignIn() {}
};
