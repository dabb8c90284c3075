import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// A modal alert: its title, its message and one "OK" button; or a question with a confirming
// button and a cancelling one, the default (Return and Escape both take it, as does closing).
Window {
    id: alert

    property string heading
    property string message
    property string confirmText
    property string cancelText: "OK"
    // A question's answer: true for the confirming button.
    signal answered(bool confirmed)
    property bool answering: false

    function present(title, text) {
        ask(title, text, "", "OK")
    }
    function ask(title, text, confirm, cancel) {
        heading = title
        message = text
        confirmText = confirm
        cancelText = cancel
        answering = confirm !== ""
        cancelButton.forceActiveFocus()
        x = Screen.virtualX + (Screen.width - width) / 2
        y = Screen.virtualY + (Screen.height - height) / 3
        show()
        raise()
        requestActivate()
    }

    function finish(confirmed) {
        const wasAnswering = answering
        answering = false
        close()
        if (wasAnswering)
            answered(confirmed)
    }
    onVisibleChanged: if (!visible && answering) finish(false)

    title: heading
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    // A fixed size, and the window it belongs to as its transient parent (set by whoever shows
    // it): tiling compositors float it over that window instead of tiling it.
    width: 360
    // The height its text needs; the limits follow it first, so that growing is never clamped by
    // the old limit (a long message once lost its buttons below the window's edge).
    readonly property int neededHeight: Math.max(140, layout.implicitHeight + 40)
    onNeededHeightChanged: {
        maximumHeight = Math.max(maximumHeight, neededHeight)
        minimumHeight = Math.min(minimumHeight, neededHeight)
        height = neededHeight
        minimumHeight = neededHeight
        maximumHeight = neededHeight
    }
    height: 140
    minimumWidth: width
    maximumWidth: width
    minimumHeight: 140
    maximumHeight: 140
    color: Style.popupFill
    palette.window: Style.popupFill
    palette.windowText: Style.primaryText
    palette.button: Style.dark ? Style.settingsBackground : Style.settingsCard
    palette.buttonText: Style.primaryText
    palette.highlight: Style.accent
    palette.highlightedText: Style.accentInk

    ColumnLayout {
        id: layout
        anchors.fill: parent
        anchors.margins: 20
        spacing: 10
        // Return and the keypad's Enter press the button the keyboard is on (the default one
        // unless Tab moved), Escape answers as closing does: the keys come here from the buttons.
        focus: true
        Keys.onPressed: event => {
            if (event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
                alert.finish(confirmButton.activeFocus)
                event.accepted = true
            } else if (event.key === Qt.Key_Escape) {
                alert.finish(false)
                event.accepted = true
            }
        }

        PlainLabel {
            objectName: "alertTitle"
            text: alert.heading
            font.bold: true
            font.pointSize: Style.pt(15)
            color: Style.primaryText
            Layout.fillWidth: true
            wrapMode: Text.Wrap
        }
        PlainLabel {
            objectName: "alertMessage"
            text: alert.message
            color: Style.primaryText
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            maximumLineCount: 8
            elide: Text.ElideRight
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 8
            Button {
                id: confirmButton
                objectName: "alertConfirm"
                visible: alert.confirmText !== ""
                text: alert.confirmText
                onClicked: alert.finish(true)
            }
            Button {
                id: cancelButton
                objectName: "alertOK"
                text: alert.cancelText
                highlighted: true
                focus: true
                onClicked: alert.finish(false)
            }
        }
    }
}
