import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// One upload from its drop until the user dismisses it: its stage and progress while it runs,
// its error when it fails, its link and the link edits when it is done.
Rectangle {
    id: row
    objectName: "uploadRow"
    required property var model
    // The panel's dialogs, which outlive this delegate.
    required property LinkDialogs dialogs

    property bool copiedFlash: false
    property bool completionAccentActive: false
    readonly property bool finished: model.state === UploadJob.Done && model.shareURL !== ""
    // Queued, preparing, zipping or uploading: the states before the link is asked for, in order.
    readonly property bool running: model.state <= UploadJob.Uploading
    readonly property string title: Links.uploadTitle(model.displayName, model.sourceURLs)

    implicitHeight: column.implicitHeight + 16
    radius: 10
    color: Style.cardFill
    border.color: Style.cardStroke
    border.width: 1

    function copyLink() {
        Links.copy(model.shareURL)
        copiedFlash = true
        copiedTimer.restart()
    }
    function openRename() {
        dialogs.rename({ job: model.id }, model.displayName)
    }

    // The green moment of completion, also for a row first shown for a finished job.
    function markCompletion() {
        if (model.state === UploadJob.Done) {
            accentOff.stop()
            completionAccentActive = true
            accentOff.restart()
        } else {
            accentOff.stop()
            completionAccentActive = false
        }
    }
    Component.onCompleted: markCompletion()
    property int observedState: model.state
    onObservedStateChanged: markCompletion()
    Timer {
        id: accentOff
        interval: 2500
        onTriggered: row.completionAccentActive = false
    }
    // The clock of a waiting job's countdown, ticking only while it waits.
    property double now: Date.now()
    Timer {
        interval: 1000
        repeat: true
        running: row.model.waitingUntil > 0
        triggeredOnStart: true
        onTriggered: row.now = Date.now()
    }
    Timer {
        id: copiedTimer
        interval: 1000
        onTriggered: row.copiedFlash = false
    }

    TapHandler {
        acceptedButtons: Qt.RightButton
        onTapped: if (row.finished) contextMenu.popup()
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 8
        spacing: 6

        RowLayout {
            spacing: 8
            Layout.fillWidth: true
            Rectangle {
                objectName: "uploadBadge"
                implicitWidth: 18
                implicitHeight: 18
                radius: 5
                color: row.model.state === UploadJob.Failed ? Style.failedBadge
                     : row.model.state === UploadJob.Done && row.completionAccentActive ? Style.completedBadge
                     : Style.pressedFill
                Behavior on color {
                    ColorAnimation { duration: row.completionAccentActive ? 200 : 600; easing.type: row.completionAccentActive ? Easing.OutQuad : Easing.InOutQuad }
                }
                Symbol {
                    objectName: "uploadBadgeSymbol"
                    anchors.centerIn: parent
                    name: row.model.state === UploadJob.Done ? "checkmark" : row.model.state === UploadJob.Failed ? "exclamationmark" : "arrow.up"
                    size: row.model.state === UploadJob.Done ? 8.5 : 9.5
                    color: Style.inkOn(parent.color)
                }
            }
            // The title takes the width the buttons leave, elided in the middle only when short of it.
            ColumnLayout {
                spacing: 1
                Layout.fillWidth: true
                Layout.preferredWidth: 0
                PlainLabel {
                    id: titleLabel
                    objectName: "uploadTitle"
                    text: row.title
                    font.pointSize: Style.pt(11.5)
                    font.weight: Font.DemiBold
                    color: Style.primaryText
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                    // The whole name where the row has no room for it.
                    HoverHandler {
                        id: uploadTitleHover
                    }
                    ThemedToolTip {
                        objectName: "uploadTitleTip"
                        visible: uploadTitleHover.hovered && titleLabel.truncated && !contextMenu.visible
                        text: titleLabel.text
                    }
                }
                PlainLabel {
                    objectName: "uploadStage"
                    text: row.model.waitingForAccount ? (Account.isKeyringLocked ? "Waiting for the keyring to be unlocked"
                                                                                    : "Waiting for you to sign in to Kavo")
                        : row.model.waitingUntil > 0 ? Links.waitText(row.model.waitingUntil - row.now, row.model.waitingForNetwork)
                                                     : Links.stageText(row.model.state, row.model.progress)
                    font.pointSize: Style.pt(10)
                    color: Style.secondaryText
                }
            }
            IconButton {
                objectName: "uploadCopy"
                visible: row.finished
                symbol: row.copiedFlash ? "checkmark" : "doc.on.doc"
                tip: "Copy link"
                onClicked: row.copyLink()
            }
            IconButton {
                objectName: "uploadMore"
                visible: row.finished
                symbol: "ellipsis"
                tip: "More options  ·  right-click for menu"
                onClicked: moreMenu.popup(this, 0, height)
                UploadMenu {
                    id: moreMenu
                    row: row
                }
            }
            IconButton {
                objectName: "uploadRetry"
                visible: row.model.state === UploadJob.Failed
                symbol: "arrow.clockwise"
                tip: "Try again"
                onClicked: Links.retryJob(row.model.id)
            }
            IconButton {
                objectName: "uploadRemove"
                symbol: "xmark"
                symbolOpacity: 0.65
                onClicked: Links.removeJob(row.model.id)
            }
        }
        Rectangle {
            objectName: "uploadProgress"
            visible: row.running
            Layout.fillWidth: true
            height: 4
            radius: 2
            color: Style.progressTrack
            Rectangle {
                height: parent.height
                radius: 2
                color: Style.accent
                width: Math.max(parent.width * row.model.progress, 8)
                Behavior on width {
                    NumberAnimation { duration: 350; easing.type: Easing.OutQuad }
                }
            }
        }
        PlainLabel {
            objectName: "uploadWarning"
            visible: row.model.warning !== "" && !row.finished
            text: row.model.warning
            font.pointSize: Style.pt(10)
            color: Qt.rgba(1.0, 0.58, 0.0, 0.9)
            wrapMode: Text.Wrap
            maximumLineCount: 3
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
        PlainLabel {
            objectName: "uploadError"
            visible: row.model.errorMessage !== ""
            text: row.model.errorMessage
            font.pointSize: Style.pt(10)
            color: Qt.rgba(1.0, 0.23, 0.19, 0.85)
            wrapMode: Text.Wrap
            maximumLineCount: 3
            elide: Text.ElideRight
            Layout.fillWidth: true
        }
        PlainLabel {
            visible: row.finished
            text: row.model.shareURL
            font.pointSize: Style.pt(10)
            color: Style.secondaryText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
    }

    UploadMenu {
        id: contextMenu
        row: row
        withCopy: true
    }
}
