import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A tooltip in the theme's colours (the style's shared one keeps the colours it was made with).
ToolTip {
    id: tip
    delay: 500
    // A long text (a file's whole name) wraps within the panel instead of running off its edge.
    width: Math.min(implicitWidth, 288)
    palette.toolTipBase: Style.popupFill
    palette.toolTipText: Style.primaryText
    contentItem: PlainLabel {
        objectName: "toolTipText"
        text: tip.text
        color: Style.primaryText
        font.pointSize: Style.pt(11)
        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
    }
    background: Rectangle {
        objectName: "popupBackground"
        radius: 5
        color: Style.popupFill
        border.color: Style.popupStroke
        border.width: 1
    }
}
