import QtQuick
import Kavo.Ui

// A turning three-quarter ring in `color`, drawn by Kavo (the style's busy indicator shows as a
// single dot at the sizes a button has room for).
Item {
    id: spinner
    property color color: Style.primaryText
    property bool running: visible
    implicitWidth: 14
    implicitHeight: 14

    Canvas {
        id: ring
        anchors.fill: parent
        antialiasing: true
        onPaint: {
            const ctx = getContext("2d")
            ctx.reset()
            const stroke = Math.max(2, width / 7)
            ctx.lineWidth = stroke
            ctx.lineCap = "round"
            ctx.strokeStyle = spinner.color
            ctx.beginPath()
            ctx.arc(width / 2, height / 2, (Math.min(width, height) - stroke) / 2, 0, Math.PI * 1.5)
            ctx.stroke()
        }
        RotationAnimator on rotation {
            from: 0
            to: 360
            duration: 900
            loops: Animation.Infinite
            running: spinner.running
        }
    }
    onColorChanged: ring.requestPaint()
}
