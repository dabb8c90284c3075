import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// One recent link: its file name and its state.
Rectangle {
    required property var model
    implicitHeight: row.implicitHeight + 16
    radius: 8
    color: Style.cardFill
    border.color: Style.cardStroke
    border.width: 0.5

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.margins: 8
        Label {
            text: model.filename
            font.pointSize: Style.pt(11.5)
            color: Style.primaryText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        Label {
            text: model.status
            font.pointSize: Style.pt(10)
            color: Style.secondaryText
        }
    }
}
