import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// A menu entry in the theme's colours: an optional symbol, its text (never markup), a check mark
// when `checkmark`, and the submenu arrow when it opens one.
MenuItem {
    id: entry
    property string symbol: (subMenu as ThemedMenu)?.symbol ?? ""
    property bool checkmark: false
    property bool destructive: false
    readonly property color textColor: !enabled ? Style.secondaryText : destructive ? Style.destructive : Style.primaryText

    implicitHeight: visible ? 26 : 0
    leftPadding: 10
    rightPadding: 10
    indicator: null
    arrow: null
    contentItem: RowLayout {
        spacing: 8
        Symbol {
            visible: entry.symbol !== ""
            name: entry.symbol
            size: 12
            color: entry.textColor
        }
        PlainLabel {
            objectName: "menuEntryText"
            text: entry.text
            color: entry.textColor
            font.pointSize: Style.pt(12)
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        Symbol {
            visible: entry.checkmark
            name: "checkmark"
            size: 11
            color: entry.textColor
        }
        Symbol {
            visible: entry.subMenu !== null
            name: "chevron.right"
            size: 10
            color: Style.secondaryText
        }
    }
    background: Rectangle {
        radius: 4
        color: entry.highlighted && entry.enabled ? Style.popupHighlight : "transparent"
    }
}
