#include "storageprovider.h"

QString rawValue(StorageProvider provider)
{
    switch (provider) {
    case StorageProvider::google:
        return QStringLiteral("google");
    case StorageProvider::dropbox:
        return QStringLiteral("dropbox");
    }
    Q_UNREACHABLE();
}

StorageProvider linkStorageProvider(const QString &listed)
{
    return listed.compare(rawValue(StorageProvider::dropbox), Qt::CaseInsensitive) == 0 ? StorageProvider::dropbox
                                                                                        : StorageProvider::google;
}

QString displayName(StorageProvider provider)
{
    return provider == StorageProvider::dropbox ? QStringLiteral("Dropbox") : QStringLiteral("Google Drive");
}

std::optional<StorageProvider> storageProviderFromRaw(const QString &raw)
{
    for (StorageProvider provider : allStorageProviders) {
        if (raw == rawValue(provider))
            return provider;
    }
    return std::nullopt;
}
