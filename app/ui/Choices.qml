pragma Singleton
import QtQuick
import Kavo.Ui

// The choices the link menus offer.
QtObject {
    readonly property var expiry: [
        { label: "1 day", value: 1 }, { label: "3 days", value: 3 }, { label: "7 days", value: 7 },
        { label: "14 days", value: 14 }, { label: "30 days", value: 30 }, { label: "90 days", value: 90 },
        { label: "180 days", value: 180 }, { label: "1 year", value: 365 }, { label: "Never", value: 0 }
    ]
    readonly property var presets: Array.from(Presets.presets, p => ({ label: p.name, value: p.id }))
}
