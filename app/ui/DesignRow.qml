import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// "DESIGN" and the menu of branding presets: the chosen one is applied to new uploads.
RowLayout {
    id: designRow
    spacing: 8

    readonly property var current: Presets.currentPreset

    function dotColor() {
        if (current.id === undefined)
            return Style.accent
        return Presets.isColor(current.gradientFrom) ? Presets.color(current.gradientFrom) : "purple"
    }

    PlainLabel {
        text: "DESIGN"
        font.pointSize: Style.pt(10.5)
        font.weight: Font.DemiBold
        color: Style.secondaryText
    }
    AbstractButton {
        id: menuButton
        objectName: "designMenuButton"
        leftPadding: 9
        rightPadding: 9
        topPadding: 4
        bottomPadding: 4
        onClicked: menu.open()
        background: Rectangle {
            radius: 6
            color: Style.cardFill
        }
        contentItem: Row {
            spacing: 6
            Rectangle {
                width: 7
                height: 7
                radius: 3.5
                color: designRow.dotColor()
                anchors.verticalCenter: parent.verticalCenter
            }
            PlainLabel {
                objectName: "designName"
                text: designRow.current.name !== undefined ? designRow.current.name : "Default"
                font.pointSize: Style.pt(11)
                font.weight: Font.Medium
                color: Style.primaryText
                opacity: 0.9
            }
            Symbol {
                name: "chevron.down"
                size: 8
                color: Style.secondaryText
                anchors.verticalCenter: parent.verticalCenter
            }
        }
        ThemedMenu {
            id: menu
            objectName: "designMenu"
            y: menuButton.height
            Instantiator {
                model: Presets.presets
                delegate: ThemedMenuItem {
                    required property var modelData
                    text: modelData.name
                    checkmark: modelData.id === Preferences.selectedPresetID
                    onTriggered: Preferences.selectedPresetID = modelData.id
                }
                onObjectAdded: (index, object) => menu.insertItem(index, object)
                onObjectRemoved: (index, object) => menu.removeItem(object)
            }
            ThemedMenuItem {
                text: "No presets"
                enabled: false
                visible: Presets.presets.length === 0
            }
            ThemedSeparator {}
            ThemedMenuItem {
                text: "Refresh"
                onTriggered: App.refreshPresets()
            }
        }
    }
    Item { Layout.fillWidth: true }
}
