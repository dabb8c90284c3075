import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A modal dialog over the panel, in the theme's colours, its title shown as plain text.
Dialog {
    id: dialog
    modal: true
    parent: Overlay.overlay
    anchors.centerIn: parent
    width: Math.min(300, parent ? parent.width - 20 : 300)
    standardButtons: Dialog.NoButton
    closePolicy: Popup.CloseOnEscape
    padding: 14
    topPadding: 10

    palette.window: Style.popupFill
    palette.windowText: Style.primaryText
    palette.base: Style.dark ? Style.settingsBackground : Style.settingsCard
    palette.text: Style.primaryText
    palette.button: Style.dark ? Style.settingsBackground : Style.settingsCard
    palette.buttonText: Style.primaryText
    palette.placeholderText: Style.secondaryText
    palette.highlight: Style.accent
    palette.highlightedText: Style.accentInk

    header: PlainLabel {
        objectName: "dialogTitle"
        visible: dialog.title !== ""
        text: dialog.title
        font.pointSize: Style.pt(13)
        font.weight: Font.DemiBold
        color: Style.primaryText
        elide: Text.ElideMiddle
        topPadding: 14
        leftPadding: 14
        rightPadding: 14
    }
    background: Rectangle {
        objectName: "popupBackground"
        radius: 10
        color: Style.popupFill
        border.color: Style.popupStroke
        border.width: 1
    }
}
