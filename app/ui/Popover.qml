import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// The panel under the tray icon. Tray icons on Linux take no drops, so the whole panel is the
// drop target: files dragged over it light it (and the tray icon) up, and dropping them starts
// their upload. It lists the uploads in flight and the recent links.
Window {
    id: popover

    width: 340
    height: 380
    flags: Qt.Tool | Qt.FramelessWindowHint
    title: "Kavo"
    color: palette.window
    visible: App.popoverVisible
    x: Math.max(Screen.virtualX, Math.min(App.popoverAnchor.x - width / 2, Screen.virtualX + Screen.desktopAvailableWidth - width))
    y: Math.max(Screen.virtualY, Math.min(App.popoverAnchor.y + 4, Screen.virtualY + Screen.desktopAvailableHeight - height))

    onVisibleChanged: if (visible) requestActivate()
    // Closes when the user clicks elsewhere.
    onActiveChanged: if (!active && visible) App.popoverVisible = false
    onClosing: App.popoverVisible = false

    Rectangle {
        anchors.fill: parent
        color: "transparent"
        radius: 8
        border.width: dropArea.hovering ? 2 : 1
        border.color: dropArea.hovering ? Qt.rgba(0.18, 0.835, 1.0, 1.0) : palette.mid
    }

    DropArea {
        id: dropArea
        objectName: "dropArea"

        property bool hovering: false

        anchors.fill: parent
        onEntered: drag => {
            if (!drag.hasUrls || !App.acceptsDrop(drag.urls)) {
                drag.accepted = false
                return
            }
            drag.accept(Qt.CopyAction)
            hovering = true
            App.setDropHovering(true)
        }
        onExited: {
            hovering = false
            App.setDropHovering(false)
        }
        onDropped: drop => {
            hovering = false
            App.setDropHovering(false)
            if (!drop.hasUrls || !App.acceptsDrop(drop.urls))
                return
            drop.accept(Qt.CopyAction)
            App.handleDrop(drop.urls)
        }
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 14
        spacing: 8

        RowLayout {
            Layout.fillWidth: true
            Label {
                text: "Kavo"
                font.bold: true
                font.pixelSize: 16
            }
            Item { Layout.fillWidth: true }
            Label {
                text: Account.email
                opacity: 0.7
                elide: Text.ElideMiddle
                Layout.maximumWidth: 200
            }
        }

        Label {
            objectName: "dropHint"
            text: dropArea.hovering ? "Release to upload" : "Drop files here"
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
            Layout.topMargin: 4
            Layout.bottomMargin: 4
            opacity: 0.75
        }

        ListView {
            id: list
            objectName: "rows"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 6
            model: App.uploadManager.uploads
            delegate: ColumnLayout {
                width: list.width
                spacing: 2
                Label {
                    text: model.displayName
                    font.bold: true
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                }
                ProgressBar {
                    visible: model.stateName === "uploading"
                    value: model.progress
                    Layout.fillWidth: true
                }
                Label {
                    text: model.stateName === "failed" ? model.errorMessage
                        : model.stateName === "done" ? model.shareURL
                        : model.stateName.charAt(0).toUpperCase() + model.stateName.slice(1) + "…"
                    color: model.stateName === "failed" ? "#d1242f" : palette.windowText
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
            footer: Column {
                width: list.width
                topPadding: list.count > 0 ? 10 : 0
                spacing: 4
                Label {
                    text: "Recent links"
                    font.bold: true
                    visible: History.items.count > 0
                }
                Repeater {
                    model: History.items
                    delegate: Label {
                        width: list.width
                        text: model.filename + "  ·  " + model.status
                        elide: Text.ElideMiddle
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Item { Layout.fillWidth: true }
            Button {
                text: "Quit"
                flat: true
                onClicked: Qt.quit()
            }
        }
    }
}
