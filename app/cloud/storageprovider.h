#pragma once

#include <QString>

#include <array>
#include <optional>

// The cloud storage that holds an upload's bytes. The raw value is what the service receives as
// the upload's provider and what the preferences keep.
enum class StorageProvider { google, dropbox };

inline constexpr std::array<StorageProvider, 2> allStorageProviders{StorageProvider::google, StorageProvider::dropbox};

QString rawValue(StorageProvider provider);
// Exactly "google" or "dropbox" (case-sensitive); anything else gives no value.
std::optional<StorageProvider> storageProviderFromRaw(const QString &raw);
// Where a listed link's file lives, from the provider the service gives for it: "dropbox" in any
// letter case is Dropbox; anything else (also nothing, from links older than Dropbox) is Drive.
StorageProvider linkStorageProvider(const QString &listed);
// "Google Drive", "Dropbox".
QString displayName(StorageProvider provider);
