import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A menu in the current theme's colours, whichever theme was current when it was made.
Menu {
    id: menu
    // A submenu's symbol, shown on its entry in the parent menu.
    property string symbol

    palette.window: Style.popupFill
    palette.windowText: Style.primaryText
    palette.base: Style.popupFill
    palette.text: Style.primaryText
    palette.highlight: Style.popupHighlight
    palette.highlightedText: Style.primaryText
    palette.mid: Style.hairline
    topPadding: 4
    bottomPadding: 4
    background: Rectangle {
        objectName: "popupBackground"
        implicitWidth: 190
        implicitHeight: 24
        radius: 7
        color: Style.popupFill
        border.color: Style.popupStroke
        border.width: 1
    }
    delegate: ThemedMenuItem {}
}
