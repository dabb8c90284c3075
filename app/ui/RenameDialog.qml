import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// "Rename file": a new name for the link; Save hands over the field's text.
PanelDialog {
    id: dialog
    property alias input: field.text
    signal save(string text)

    title: "Rename file"
    onOpened: field.forceActiveFocus()

    ColumnLayout {
        anchors.fill: parent
        spacing: 8
        PlainLabel {
            text: "This only changes the filename in your history and on the download page. The actual file in your cloud storage is unchanged, and existing share links keep working."
            wrapMode: Text.Wrap
            font.pointSize: Style.pt(10.5)
            Layout.fillWidth: true
        }
        TextField {
            id: field
            objectName: "renameField"
            placeholderText: "Filename"
            Layout.fillWidth: true
            onAccepted: saveButton.clicked()
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                text: "Cancel"
                onClicked: dialog.close()
            }
            Button {
                id: saveButton
                text: "Save"
                highlighted: true
                onClicked: {
                    dialog.save(field.text)
                    dialog.close()
                }
            }
        }
    }
}
