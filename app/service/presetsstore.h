#pragma once

#include "brandingpreset.h"
#include "upload/uploadcollaborators.h"

#include "loadablestore.h"

#include <QObject>
#include <QVariantList>

class BackendAPI;
class Preferences;

// The branding presets the service offers, and which one a new upload gets: the preferences'
// choice when it is listed, else the service's default, else the first.
class PresetsStore : public LoadableStore, public PresetChoice
{
    Q_OBJECT
    // Each entry a map with the keys id, name, isDefault, gradientFrom, gradientTo, accentColor.
    Q_PROPERTY(QVariantList presets READ presetMaps NOTIFY presetsChanged)
    // -1 when the service named no default.
    Q_PROPERTY(qint64 defaultID READ defaultIDOrNone NOTIFY presetsChanged)
    // The preset new uploads get (keys as in `presets`); empty when there is none.
    Q_PROPERTY(QVariantMap currentPreset READ currentPresetMap NOTIFY currentPresetChanged)
public:
    PresetsStore(BackendAPI *api, Preferences *preferences, QObject *parent = nullptr);

    const QList<BrandingPreset> &presets() const { return m_presets; }
    std::optional<qint64> defaultID() const { return m_defaultID; }

    QCoro::Task<void> refresh();
    std::optional<BrandingPreset> preset(qint64 id) const;
    std::optional<BrandingPreset> effectivePreset() const;
    std::optional<qint64> effectivePresetID() const override;

    // The colour of colour text, or an invalid colour when the text is not one.
    Q_INVOKABLE QColor color(const QString &text) const;
    Q_INVOKABLE bool isColor(const QString &text) const { return color(text).isValid(); }

    QVariantList presetMaps() const;
    QVariantMap currentPresetMap() const;
    qint64 defaultIDOrNone() const { return m_defaultID.value_or(-1); }

Q_SIGNALS:
    void presetsChanged();
    void currentPresetChanged();

private:
    BackendAPI *m_api;
    Preferences *m_preferences;
    QList<BrandingPreset> m_presets;
    std::optional<qint64> m_defaultID;
};
