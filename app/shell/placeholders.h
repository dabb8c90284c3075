#pragma once

// Stand-ins for the collaborators that are not built yet. Each one that would have to do real
// work fails with a sentence saying so, so a drop ends in a clear message instead of a fake link.

#include "cloud/clouduploader.h"
#include "upload/uploadcollaborators.h"

class UnavailableUploader : public CloudUploader
{
public:
    explicit UnavailableUploader(QString providerName);
    QCoro::Task<Result<CloudUploadResult>> upload(QString filePath, QString mimeType, ProgressCallback progress) override;

private:
    QString m_providerName;
};

class UnavailableAuth : public CloudAuth
{
public:
    explicit UnavailableAuth(QString providerName);
    bool isSignedIn() const override { return false; }
    QCoro::Task<Result<void>> signIn() override;

private:
    QString m_providerName;
};

class UnavailableLinkService : public LinkService
{
public:
    QCoro::Task<Result<Registration>> registerUpload(RegistrationRequest request) override;
    QCoro::Task<Result<void>> setPassword(QString token, QString password) override;
    QCoro::Task<Result<QString>> rename(QString token, QString filename) override;
    QCoro::Task<Result<std::optional<QString>>> setExpiry(QString token, qint64 days) override;
    QCoro::Task<Result<void>> setPreset(QString token, qint64 presetID) override;
};

// No history list yet: reloads and patches have nothing to act on.
class NoHistory : public HistoryUpdates
{
public:
    QCoro::Task<void> refresh(int limit) override;
    void updateProtected(const QString &, bool) override {}
    void updateFilename(const QString &, const QString &) override {}
    void updateExpiry(const QString &, const std::optional<QString> &) override {}
    void updatePreset(const QString &, qint64) override {}
};

// No presets are known yet, so new uploads carry none.
class NoPresets : public PresetChoice
{
public:
    std::optional<qint64> effectivePresetID() const override { return std::nullopt; }
};

// The preferences' documented defaults: Google Drive, 7 days.
class DefaultUploadPreferences : public UploadPreferences
{
public:
    StorageProvider selectedProvider() const override { return StorageProvider::google; }
    qint64 expiryDays() const override { return 7; }
};
