#pragma once

// The services the upload queue calls after preparation, as interfaces: the service client, the
// history and presets stores and the preferences implement them; tests hand in doubles.

#include "cloud/storageprovider.h"
#include "platform/error.h"

#include <QString>
#include <qcoro/qcorotask.h>

#include <optional>

// What the service is told about a finished upload.
struct RegistrationRequest {
    QString driveFileID;
    QString filename;
    qint64 filesize = 0;
    QString mimetype;
    std::optional<QString> customMessage;
    std::optional<QString> password;
    qint64 expiryDays = 0;
    std::optional<qint64> presetID;
    StorageProvider provider = StorageProvider::google;
    std::optional<QString> directURL;
};

// The link the service made for an upload.
struct Registration {
    QString token;
    QString url;
};

// The web-service calls of the queue: the registration of a new link (link edits are LinkActions').
class LinkService
{
public:
    virtual ~LinkService() = default;
    virtual QCoro::Task<Result<Registration>> registerUpload(RegistrationRequest request) = 0;
    // The link the service already holds for this cloud file, if any: a registration whose
    // answer was lost may have been made. `filename` narrows the search.
    virtual QCoro::Task<Result<std::optional<Registration>>> findRegistration(QString providerFileID, QString filename)
    {
        Q_UNUSED(providerFileID);
        Q_UNUSED(filename);
        co_return std::optional<Registration>();
    }
};

// The user's sign-in to the service as the queue needs it: without one no upload could be
// registered, so nothing is sent to a provider until there is one.
class ServiceAccount
{
public:
    virtual ~ServiceAccount() = default;
    // Finishes once the stored account is known (the keychain has answered).
    virtual QCoro::Task<void> loaded() const = 0;
    virtual bool isSignedIn() const = 0;
    // The stored account could not be read because the keyring is locked.
    virtual bool isKeyringLocked() const { return false; }
    // Finishes once the user is signed in (at once when they are).
    virtual QCoro::Task<void> signedIn() = 0;
};

// The history store as the queue uses it: a reload once a link is made.
class HistoryUpdates
{
public:
    virtual ~HistoryUpdates() = default;
    virtual QCoro::Task<void> refresh(int limit) = 0;
};

// The branding preset that applies to new uploads, if any.
class PresetChoice
{
public:
    virtual ~PresetChoice() = default;
    virtual std::optional<qint64> effectivePresetID() const = 0;
};

// The preferences that shape a new upload.
class UploadPreferences
{
public:
    virtual ~UploadPreferences() = default;
    virtual StorageProvider selectedProvider() const = 0;
    virtual qint64 expiryDays() const = 0;
};
