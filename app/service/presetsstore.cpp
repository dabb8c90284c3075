#include "presetsstore.h"

#include "backendapi.h"
#include "settings/preferences.h"

#include <QPointer>

PresetsStore::PresetsStore(BackendAPI *api, Preferences *preferences, QObject *parent)
    : LoadableStore(parent)
    , m_api(api)
    , m_preferences(preferences)
{
    connect(this, &PresetsStore::presetsChanged, this, &PresetsStore::currentPresetChanged);
    connect(m_preferences, &Preferences::selectedPresetIDChanged, this, &PresetsStore::currentPresetChanged);
}

QCoro::Task<void> PresetsStore::refresh()
{
    QPointer<PresetsStore> self(this);
    const Running running(this);
    Result<BackendAPI::PresetList> result = co_await m_api->fetchPresets();
    if (!self)
        co_return;
    if (result) {
        m_presets = result->presets;
        m_defaultID = result->defaultID;
        Q_EMIT presetsChanged();
        setLastError(std::nullopt);
    } else {
        setLastError(result.error().description);
    }
}

std::optional<BrandingPreset> PresetsStore::preset(qint64 id) const
{
    for (const BrandingPreset &p : m_presets) {
        if (p.id == id)
            return p;
    }
    return std::nullopt;
}

std::optional<BrandingPreset> PresetsStore::effectivePreset() const
{
    if (const std::optional<qint64> selected = m_preferences->selectedPresetID()) {
        if (auto p = preset(*selected))
            return p;
    }
    if (m_defaultID) {
        if (auto p = preset(*m_defaultID))
            return p;
    }
    if (!m_presets.isEmpty())
        return m_presets.first();
    return std::nullopt;
}

std::optional<qint64> PresetsStore::effectivePresetID() const
{
    const std::optional<BrandingPreset> p = effectivePreset();
    return p ? std::optional<qint64>(p->id) : std::nullopt;
}

QColor PresetsStore::color(const QString &text) const
{
    return BrandingPreset::colorFromText(text).value_or(QColor());
}

namespace {
QVariantMap mapOf(const BrandingPreset &p)
{
    return QVariantMap{
        {QStringLiteral("id"), p.id},
        {QStringLiteral("name"), p.name},
        {QStringLiteral("isDefault"), p.isDefault},
        {QStringLiteral("gradientFrom"), p.gradientFrom},
        {QStringLiteral("gradientTo"), p.gradientTo},
        {QStringLiteral("accentColor"), p.accentColor},
    };
}
}

QVariantList PresetsStore::presetMaps() const
{
    QVariantList list;
    for (const BrandingPreset &p : m_presets)
        list.append(mapOf(p));
    return list;
}

QVariantMap PresetsStore::currentPresetMap() const
{
    const std::optional<BrandingPreset> current = effectivePreset();
    return current ? mapOf(*current) : QVariantMap();
}
