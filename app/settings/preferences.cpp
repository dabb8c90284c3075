#include "preferences.h"

#include "platform/jsoninteger.h"

Preferences::Preferences(DefaultsStore defaults, QObject *parent)
    : QObject(parent)
    , m_defaults(std::move(defaults))
{
    const QJsonObject stored = m_defaults.all();
    m_expiryDays = jsonInteger(stored.value(expiryDaysKey)).value_or(defaultExpiryDays);
    const qint64 preset = jsonInteger(stored.value(selectedPresetIDKey)).value_or(0);
    if (preset > 0)
        m_selectedPresetID = preset;
    m_selectedProvider = storageProviderFromRaw(stored.value(selectedProviderKey).toString()).value_or(StorageProvider::google);
    m_keepPanelOpen = stored.value(keepPanelOpenKey).toBool(false);
}

void Preferences::setExpiryDays(qint64 days)
{
    if (days == m_expiryDays)
        return;
    m_expiryDays = days;
    Q_EMIT expiryDaysChanged();
    m_defaults.setValue(expiryDaysKey, days);
}

void Preferences::setSelectedPresetID(std::optional<qint64> id)
{
    if (id == m_selectedPresetID)
        return;
    m_selectedPresetID = id;
    Q_EMIT selectedPresetIDChanged();
    m_defaults.setValue(selectedPresetIDKey, id.value_or(0));
}

void Preferences::setSelectedProvider(StorageProvider provider)
{
    if (provider == m_selectedProvider)
        return;
    m_selectedProvider = provider;
    Q_EMIT selectedProviderChanged();
    m_defaults.setValue(selectedProviderKey, rawValue(provider));
}

void Preferences::setSelectedProviderRaw(const QString &raw)
{
    setSelectedProvider(storageProviderFromRaw(raw).value_or(StorageProvider::google));
}

void Preferences::setKeepPanelOpen(bool keep)
{
    if (keep == m_keepPanelOpen)
        return;
    m_keepPanelOpen = keep;
    Q_EMIT keepPanelOpenChanged();
    m_defaults.setValue(keepPanelOpenKey, keep);
}
