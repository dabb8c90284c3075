import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// "Send link by email": a recipient and an optional note; the service mails the link.
PanelDialog {
    id: sheet
    property string token
    property string filename
    property bool sending: false
    property bool sent: false
    property string errorMessage: ""

    function present() {
        address.text = ""
        note.text = ""
        sending = false
        sent = false
        errorMessage = ""
        open()
    }

    width: Math.min(320, parent ? parent.width : 320)
    padding: 20
    topPadding: 20
    onOpened: address.forceActiveFocus()

    Connections {
        target: Links
        function onFinished(token, action, error) {
            if (token !== sheet.token || action !== "send" || !sheet.sending)
                return
            sheet.sending = false
            if (error !== "") {
                sheet.errorMessage = error
                return
            }
            sheet.sent = true
            closeLater.start()
        }
    }
    Timer {
        id: closeLater
        interval: 1300
        onTriggered: sheet.close()
    }

    contentItem: ColumnLayout { // qmllint disable deferred-property-id
        spacing: 16
        RowLayout {
            Layout.fillWidth: true
            ColumnLayout {
                spacing: 3
                Layout.fillWidth: true
                PlainLabel {
                    text: "Send link by email"
                    font.pointSize: Style.pt(13)
                    font.weight: Font.DemiBold
                }
                PlainLabel {
                    text: sheet.filename
                    font.pointSize: Style.pt(11)
                    color: Style.secondaryText
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                }
            }
            IconButton {
                symbol: "xmark.circle.fill"
                symbolSize: 16
                symbolOpacity: 1
                fill: "transparent"
                symbolColor: Style.secondaryText
                onClicked: sheet.close()
            }
        }
        ColumnLayout {
            spacing: 5
            Layout.fillWidth: true
            PlainLabel {
                text: "To"
                font.pointSize: Style.pt(10.5)
                font.weight: Font.DemiBold
                color: Style.secondaryText
            }
            TextField {
                id: address
                objectName: "sendAddress"
                placeholderText: "friend@example.com"
                enabled: !sheet.sending && !sheet.sent
                inputMethodHints: Qt.ImhEmailCharactersOnly
                Layout.fillWidth: true
            }
            PlainLabel {
                text: "Personal note (optional)"
                font.pointSize: Style.pt(10.5)
                font.weight: Font.DemiBold
                color: Style.secondaryText
                Layout.topMargin: 6
            }
            ScrollView {
                Layout.fillWidth: true
                Layout.preferredHeight: 68
                background: Rectangle {
                    radius: 6
                    color: Qt.rgba(Style.primaryText.r, Style.primaryText.g, Style.primaryText.b, 0.04)
                    // Marked like the address field when the note has the keyboard.
                    border.color: note.activeFocus ? Style.accent : Qt.rgba(Style.primaryText.r, Style.primaryText.g, Style.primaryText.b, 0.12)
                    border.width: note.activeFocus ? 2 : 1
                }
                TextArea {
                    id: note
                    objectName: "sendNote"
                    enabled: !sheet.sending && !sheet.sent
                    wrapMode: TextEdit.Wrap
                    padding: 6
                    background: null
                }
            }
        }
        PlainLabel {
            visible: sheet.errorMessage !== ""
            text: sheet.errorMessage
            font.pointSize: Style.pt(11)
            color: Qt.rgba(1.0, 0.23, 0.19, 0.85)
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        RowLayout {
            spacing: 10
            Layout.alignment: Qt.AlignRight
            PlainButton {
                text: "Cancel"
                onClicked: sheet.close()
            }
            AbstractButton {
                id: send
                objectName: "sendButton"
                enabled: address.text.trim() !== "" && !sheet.sending && !sheet.sent
                leftPadding: 14
                rightPadding: 14
                topPadding: 7
                bottomPadding: 7
                // Dimmed only while there is nothing to send; sending is shown by the spinner.
                opacity: enabled || sheet.sent || sheet.sending ? 1 : 0.5
                onClicked: {
                    sheet.errorMessage = ""
                    sheet.sending = true
                    Links.sendLink(sheet.token, address.text, note.text)
                }
                background: Rectangle {
                    radius: 6
                    color: sheet.sent ? Style.sentConfirmation : Style.accent
                }
                contentItem: Row {
                    spacing: 6
                    Spinner {
                        objectName: "sendSpinner"
                        visible: sheet.sending
                        width: 14
                        height: 14
                        color: Style.accentInk
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Symbol {
                        visible: !sheet.sending
                        name: sheet.sent ? "checkmark" : "envelope"
                        color: Style.accentInk
                        size: 11
                    }
                    PlainLabel {
                        text: sheet.sent ? "Sent!" : "Send"
                        color: Style.accentInk
                        font.pointSize: Style.pt(12)
                        font.weight: Font.DemiBold
                    }
                }
            }
        }
    }
}
