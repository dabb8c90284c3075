#pragma once

#include "cloud/storageprovider.h"
#include "platform/defaultsstore.h"
#include "upload/uploadcollaborators.h"

#include <QObject>

// The defaults for new uploads, kept in the standard defaults domain: the expiry in days, the
// branding preset and the cloud provider. Unusable stored values read as the defaults (7 days,
// no preset, Google Drive); every assignment is written at once. It also keeps the panel's pin.
class Preferences : public QObject, public UploadPreferences
{
    Q_OBJECT
    Q_PROPERTY(qint64 expiryDays READ expiryDays WRITE setExpiryDays NOTIFY expiryDaysChanged)
    // 0 stands for none.
    Q_PROPERTY(qint64 selectedPresetID READ selectedPresetIDOrZero WRITE setSelectedPresetIDOrZero NOTIFY selectedPresetIDChanged)
    // "google" or "dropbox".
    Q_PROPERTY(QString selectedProvider READ selectedProviderRaw WRITE setSelectedProviderRaw NOTIFY selectedProviderChanged)
    // The panel's pin: a pinned panel stays open when it loses focus (and opens at start).
    Q_PROPERTY(bool keepPanelOpen READ keepPanelOpen WRITE setKeepPanelOpen NOTIFY keepPanelOpenChanged)
public:
    static inline const QString expiryDaysKey = QStringLiteral("prefs.expiryDays");
    static inline const QString selectedPresetIDKey = QStringLiteral("prefs.selectedPresetID");
    static inline const QString selectedProviderKey = QStringLiteral("prefs.selectedProvider");
    static inline const QString keepPanelOpenKey = QStringLiteral("panel.keepOpen");
    static constexpr qint64 defaultExpiryDays = 7;

    explicit Preferences(DefaultsStore defaults, QObject *parent = nullptr);

    qint64 expiryDays() const override { return m_expiryDays; }
    std::optional<qint64> selectedPresetID() const { return m_selectedPresetID; }
    StorageProvider selectedProvider() const override { return m_selectedProvider; }

    void setExpiryDays(qint64 days);
    void setSelectedPresetID(std::optional<qint64> id);
    void setSelectedProvider(StorageProvider provider);
    bool keepPanelOpen() const { return m_keepPanelOpen; }
    void setKeepPanelOpen(bool keep);

    qint64 selectedPresetIDOrZero() const { return m_selectedPresetID.value_or(0); }
    void setSelectedPresetIDOrZero(qint64 id) { setSelectedPresetID(id > 0 ? std::optional<qint64>(id) : std::nullopt); }
    QString selectedProviderRaw() const { return rawValue(m_selectedProvider); }
    void setSelectedProviderRaw(const QString &raw);

Q_SIGNALS:
    void expiryDaysChanged();
    void selectedPresetIDChanged();
    void selectedProviderChanged();
    void keepPanelOpenChanged();

private:
    DefaultsStore m_defaults;
    qint64 m_expiryDays = defaultExpiryDays;
    std::optional<qint64> m_selectedPresetID;
    StorageProvider m_selectedProvider = StorageProvider::google;
    bool m_keepPanelOpen = false;
};
