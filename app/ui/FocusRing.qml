import QtQuick
import Kavo.Ui
import QtQuick.Controls

// The ring around the button the keyboard is on (shown only for focus reached by keys).
Rectangle {
    objectName: "focusRing"
    required property AbstractButton control
    anchors.fill: parent
    anchors.margins: -2
    radius: 8
    color: "transparent"
    border.width: 2
    border.color: Style.accent
    visible: control.visualFocus
}
