import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A 22 × 22 symbol button on the control fill, with a tooltip.
AbstractButton {
    id: button
    property string symbol
    property string tip
    property color symbolColor: Style.primaryText
    property real symbolOpacity: 0.75
    property real symbolSize: 10
    property color fill: Style.controlFill
    implicitWidth: 22
    implicitHeight: 22
    hoverEnabled: true
    // A press puts the tooltip away until the pointer leaves (it would cover the menu it opens).
    property bool tipDismissed: false
    onPressedChanged: if (pressed) tipDismissed = true
    onHoveredChanged: if (!hovered) tipDismissed = false
    background: Rectangle {
        radius: 6
        color: button.fill
        opacity: button.pressed ? 0.7 : 1.0
        FocusRing {
            control: button
        }
    }
    contentItem: Symbol {
        name: button.symbol
        color: button.symbolColor
        opacity: button.symbolOpacity
        size: button.symbolSize
    }
    ThemedToolTip {
        visible: button.hovered && button.tip !== "" && !button.tipDismissed
        text: button.tip
    }
}
