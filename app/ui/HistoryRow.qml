import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// One past link and what can be done with it: copy it, restyle its page, rename it, change its
// expiry or password, delete it with its cloud file. Failures show in red under the row.
Rectangle {
    id: row
    objectName: "historyRow-" + model.token
    required property var model
    // The panel's dialogs, which outlive this delegate.
    required property LinkDialogs dialogs

    property bool copiedFlash: false
    // What the link's last action left to show; kept by token, so a rebuilt row shows it too.
    readonly property string errorMessage: model.error
    readonly property bool isDeleting: model.deleting

    implicitHeight: column.implicitHeight + 16
    radius: 10
    color: Style.cardFill
    border.color: Style.cardStroke
    border.width: 1

    function copyLink() {
        Links.copy(model.viewURL)
        copiedFlash = true
        copiedTimer.restart()
    }
    function openRename() {
        dialogs.rename({ token: model.token }, model.filename)
    }
    function openSend() {
        dialogs.sendLink(model.token, model.filename)
    }
    function openPassword() {
        dialogs.password({ token: model.token }, model.isProtected)
    }
    function confirmDelete() {
        dialogs.confirmDelete(model.token, model.filename, model.driveFileID, model.provider)
    }

    Timer {
        id: copiedTimer
        interval: 1000
        onTriggered: row.copiedFlash = false
    }

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: contextMenu.popup()
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 8
        spacing: 5

        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Rectangle {
                objectName: "historyBadge"
                implicitWidth: 20
                implicitHeight: 20
                radius: 6
                color: row.model.status === "protected" ? Qt.rgba(Style.accent.r, Style.accent.g, Style.accent.b, 0.85) : Style.pressedFill
                Symbol {
                    objectName: "historyBadgeSymbol"
                    anchors.centerIn: parent
                    name: row.model.status === "expired" ? "clock.badge.xmark" : row.model.status === "protected" ? "lock.fill" : "checkmark"
                    size: 9.5
                    color: Style.inkOn(parent.color)
                }
            }
            // The title takes the width the buttons leave, elided in the middle only when short of it.
            ColumnLayout {
                spacing: 1
                Layout.fillWidth: true
                Layout.preferredWidth: 0
                PlainLabel {
                    id: historyTitle
                    objectName: "historyTitle"
                    text: row.model.filename
                    font.pointSize: Style.pt(11.5)
                    font.weight: Font.DemiBold
                    color: Style.primaryText
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                    // The whole name where the row has no room for it.
                    HoverHandler {
                        id: historyTitleHover
                    }
                    ThemedToolTip {
                        objectName: "historyTitleTip"
                        visible: historyTitleHover.hovered && historyTitle.truncated && !contextMenu.visible
                        text: historyTitle.text
                    }
                }
                PlainLabel {
                    objectName: "historySummary"
                    text: row.model.summary
                    font.pointSize: Style.pt(10)
                    color: Style.secondaryText
                    elide: Text.ElideRight
                    Layout.fillWidth: true
                }
            }
            IconButton {
                symbol: "paintpalette"
                tip: "Change design"
                fill: Style.accent
                symbolColor: Style.accentInk
                symbolOpacity: 1
                onClicked: designMenu.popup(this, 0, height)
                ChoiceMenu {
                    id: designMenu
                    choices: Choices.presets
                    current: row.model.presetID
                    emptyText: "No presets"
                    onChosen: value => Links.setPreset(row.model.token, value)
                }
            }
            IconButton {
                objectName: "copyButton"
                symbol: row.copiedFlash ? "checkmark" : "doc.on.doc"
                tip: "Copy link"
                fill: Style.accent
                symbolColor: Style.accentInk
                symbolOpacity: 1
                onClicked: row.copyLink()
            }
            Item {
                implicitWidth: 22
                implicitHeight: 22
                Spinner {
                    objectName: "deleteSpinner"
                    anchors.centerIn: parent
                    width: 16
                    height: 16
                    visible: row.isDeleting
                }
                IconButton {
                    id: more
                    anchors.fill: parent
                    visible: !row.isDeleting
                    symbol: "ellipsis"
                    tip: "More options  ·  right-click for menu"
                    symbolOpacity: hovered ? 0.8 : 0.35
                    fill: hovered ? Style.controlFill : Qt.rgba(Style.controlFill.r, Style.controlFill.g, Style.controlFill.b, Style.controlFill.a * 0.5)
                    onClicked: moreMenu.popup(this, 0, height)
                }
                LinkMenu {
                    id: moreMenu
                    row: row
                }
            }
        }
        PlainLabel {
            text: row.model.viewURL
            font.pointSize: Style.pt(10)
            color: Style.secondaryText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        PlainLabel {
            objectName: "historyExpiry"
            readonly property string expiry: row.model.expiryText
            visible: expiry !== ""
            text: expiry
            font.pointSize: Style.pt(10)
            color: row.model.hasExpired ? Qt.rgba(1.0, 0.58, 0.0, 0.9) : Style.secondaryText
        }
        PlainLabel {
            objectName: "historyError"
            visible: row.errorMessage !== ""
            text: row.errorMessage
            font.pointSize: Style.pt(10)
            color: Qt.rgba(1.0, 0.23, 0.19, 0.85)
            wrapMode: Text.Wrap
            maximumLineCount: 3
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
    }

    LinkMenu {
        id: contextMenu
        row: row
        withCopy: true
    }
}
