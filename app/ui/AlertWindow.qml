import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// A modal informational alert: its title, its message and one "OK" button.
Window {
    id: alert

    property string heading
    property string message

    function present(title, text) {
        heading = title
        message = text
        x = Screen.virtualX + (Screen.width - width) / 2
        y = Screen.virtualY + (Screen.height - height) / 3
        show()
        raise()
        requestActivate()
    }

    title: heading
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    // A fixed size, and the window it belongs to as its transient parent (set by whoever shows
    // it): tiling compositors float it over that window instead of tiling it.
    width: 360
    height: Math.max(140, layout.implicitHeight + 40)
    minimumWidth: width
    maximumWidth: width
    minimumHeight: height
    maximumHeight: height
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

        Label {
            textFormat: Text.PlainText // text from outside is never markup
            objectName: "alertTitle"
            text: alert.heading
            font.bold: true
            font.pointSize: Style.pt(15)
            color: Style.primaryText
            Layout.fillWidth: true
            wrapMode: Text.Wrap
        }
        Label {
            textFormat: Text.PlainText // text from outside is never markup
            objectName: "alertMessage"
            text: alert.message
            color: Style.primaryText
            Layout.fillWidth: true
            wrapMode: Text.Wrap
            maximumLineCount: 8
            elide: Text.ElideRight
        }
        Button {
            objectName: "alertOK"
            text: "OK"
            highlighted: true
            Layout.alignment: Qt.AlignRight
            onClicked: alert.close()
        }
    }
}
