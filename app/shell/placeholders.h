#pragma once

// Stand-ins for the collaborators that are not built yet. Each one that would have to do real
// work fails with a sentence saying so, so a drop ends in a clear message instead of a fake link.

#include "cloud/clouduploader.h"

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
