import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A borderless text button in the panel's secondary colour.
AbstractButton {
    id: button
    property color textColor: Style.secondaryText
    padding: 2
    hoverEnabled: true
    background: Item {
        FocusRing {
            control: button
            radius: 4
        }
    }
    contentItem: PlainLabel {
        text: button.text
        font.pointSize: Style.pt(11)
        font.weight: Font.Medium
        color: button.textColor
        opacity: button.pressed ? 0.6 : 1.0
    }
}
