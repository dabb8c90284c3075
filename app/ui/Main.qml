import QtQuick
import Kavo.Ui

// The application's windows: the popover under the tray icon and the modal alerts.
QtObject {
    id: root

    property Popover popover: Popover {}

    property AlertWindow alertWindow: AlertWindow {}

    property SettingsWindow settingsWindow: SettingsWindow {}

    property Connections alerts: Connections {
        target: App
        function onAlert(title, message) {
            root.alertWindow.present(title, message)
        }
        function onSettingsRequested() {
            root.settingsWindow.present()
        }
    }
}
