import QtQuick
import Kavo.Ui

// The application's mark: an upward arrow on the accent gradient. While files are dragged over
// the panel (or the pointer rests on it) it swells to 118 % with a slight overshoot, and settles
// back when they leave.
Rectangle {
    id: logo

    property bool hovering: false

    implicitWidth: 26
    implicitHeight: 26
    radius: width / 2
    gradient: Gradient {
        orientation: Gradient.Vertical
        GradientStop { position: 0.0; color: Style.accentLight }
        GradientStop { position: 1.0; color: Style.accent }
    }
    Symbol {
        anchors.centerIn: parent
        name: "arrow.up"
        color: Style.accentInk
        size: Math.round(parent.height * 0.62)
    }

    HoverHandler {
        id: pointer
    }

    states: State {
        name: "hovered"
        when: logo.hovering || pointer.hovered
        PropertyChanges {
            target: logo
            scale: 1.18
        }
    }
    // Each animation starts from the scale on screen, so a quick in and out reverses smoothly.
    transitions: [
        Transition {
            to: "hovered"
            NumberAnimation {
                property: "scale"
                duration: 280
                easing.type: Easing.BezierSpline
                easing.bezierCurve: [0.34, 1.56, 0.64, 1.0, 1.0, 1.0]
            }
        },
        Transition {
            to: ""
            NumberAnimation {
                property: "scale"
                duration: 220
                easing.type: Easing.OutQuad
            }
        }
    ]
}
