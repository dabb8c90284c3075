import QtQuick
import Kavo.Ui

// The ring around the control the keyboard is on (shown only for focus reached by keys).
Rectangle {
    objectName: "focusRing"
    required property Item control
    anchors.fill: parent
    anchors.margins: -2
    radius: 8
    color: "transparent"
    border.width: 2
    border.color: Style.accent
    visible: control.visualFocus
}
