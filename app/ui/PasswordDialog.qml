import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// Setting, changing or removing a link's password.
PanelDialog {
    id: dialog
    property bool isProtected: false
    property alias input: field.text
    // The new password, or "" to remove it.
    signal submit(string password)

    title: isProtected ? "Change link password" : "Set link password"
    onOpened: field.forceActiveFocus()

    ColumnLayout {
        anchors.fill: parent
        spacing: 8
        PlainLabel {
            text: dialog.isProtected ? "Recipients need this password before they can view or download the file."
                                     : "Recipients will need this password to view or download the file."
            wrapMode: Text.Wrap
            font.pointSize: Style.pt(10.5)
            Layout.fillWidth: true
        }
        TextField {
            id: field
            objectName: "passwordField"
            placeholderText: dialog.isProtected ? "New password" : "Password"
            Layout.fillWidth: true
            onAccepted: setButton.clicked()
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Button {
                text: "Cancel"
                onClicked: dialog.close()
            }
            Button {
                text: "Remove"
                visible: dialog.isProtected
                onClicked: {
                    dialog.submit("")
                    dialog.close()
                }
            }
            Button {
                id: setButton
                text: dialog.isProtected ? "Update" : "Set"
                highlighted: true
                onClicked: {
                    if (field.text === "")
                        return
                    dialog.submit(field.text)
                    dialog.close()
                }
            }
        }
    }
}
