import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// The dialogs and the sheet of the rows' link actions, one of each for the whole panel. They hold
// what they act on (a past link's token, or an upload's job id), not the row that opened them, so
// a reload that rebuilds or drops that row leaves an open dialog and what was typed in it alone.
Item {
    id: dialogs

    // `target` is { token: … } for a past link or { job: … } for an upload.
    function rename(target, currentName) {
        renameDialog.target = target
        renameDialog.currentName = currentName
        renameDialog.input = currentName
        renameDialog.open()
    }
    function password(target, isProtected) {
        passwordDialog.target = target
        passwordDialog.isProtected = isProtected
        passwordDialog.input = ""
        passwordDialog.open()
    }
    function sendLink(token, filename) {
        send.token = token
        send.filename = filename
        send.present()
    }
    function confirmDelete(token, filename, driveFileID, provider) {
        remove.target = { token: token, driveFileID: driveFileID, provider: provider }
        remove.filename = filename
        remove.open()
    }

    RenameDialog {
        id: renameDialog
        objectName: "renameDialog"
        property var target: ({})
        property string currentName
        onSave: text => {
            if (target.job !== undefined)
                Links.renameJob(target.job, text)
            else
                Links.rename(target.token, currentName, text)
        }
    }
    PasswordDialog {
        id: passwordDialog
        objectName: "passwordDialog"
        property var target: ({})
        onSubmit: secret => {
            if (target.job !== undefined)
                Links.setJobPassword(target.job, secret)
            else
                Links.setPassword(target.token, secret)
        }
    }
    SendLinkSheet {
        id: send
        objectName: "sendSheet"
    }
    PanelDialog {
        id: remove
        objectName: "deleteDialog"
        property var target: ({})
        property string filename
        title: "Delete " + filename + "?"
        ColumnLayout {
            anchors.fill: parent
            spacing: 8
            PlainLabel {
                text: "This will permanently delete the file from your cloud storage and remove the share link."
                wrapMode: Text.Wrap
                font.pointSize: Style.pt(10.5)
                Layout.fillWidth: true
            }
            RowLayout {
                Layout.alignment: Qt.AlignRight
                Button {
                    text: "Cancel"
                    onClicked: remove.close()
                }
                Button {
                    objectName: "deleteConfirm"
                    text: "Delete"
                    palette.buttonText: Style.destructive
                    onClicked: {
                        remove.close()
                        Links.deleteLink(remove.target.token, remove.target.driveFileID, remove.target.provider)
                    }
                }
            }
        }
    }
}
