import QtQuick
import Kavo.Ui

// The application's windows: the popover under the tray icon and the modal alerts.
QtObject {
    id: root

    property Popover popover: Popover {}

    property AlertWindow alertWindow: AlertWindow {
        onAnswered: confirmed => App.answerAccountSwitch(confirmed)
    }

    property SettingsWindow settingsWindow: SettingsWindow {}

    property Connections alerts: Connections {
        target: App
        function onAlert(title, message) {
            // The alert belongs to the window the user is looking at; the panel stays open under it.
            root.alertWindow.transientParent = root.popover.visible ? root.popover
                                             : root.settingsWindow.visible ? root.settingsWindow : null
            root.alertWindow.present(title, message)
        }
        function onAccountSwitchAsked(title, message) {
            root.alertWindow.transientParent = root.popover.visible ? root.popover : null
            root.alertWindow.ask(title, message, "Switch account", "Keep current account")
        }
        function onSettingsRequested() {
            root.settingsWindow.present()
        }
    }
}
