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

std::optional<StorageProvider> storageProviderFromRaw(const QString &raw)
{
    for (StorageProvider provider : allStorageProviders) {
        if (raw == rawValue(provider))
            return provider;
    }
    return std::nullopt;
}
