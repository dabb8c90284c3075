import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// One upload in flight or finished: its name, its stage or progress, its link or failure.
Rectangle {
    required property var model
    implicitHeight: column.implicitHeight + 16
    radius: 8
    color: Style.cardFill
    border.color: Style.cardStroke
    border.width: 0.5

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 8
        spacing: 3
        Label {
            text: model.displayName
            font.pointSize: Style.pt(11.5)
            font.weight: Font.DemiBold
            color: Style.primaryText
            elide: Text.ElideMiddle
            Layout.fillWidth: true
        }
        ProgressBar {
            visible: model.stateName === "uploading"
            value: model.progress
            Layout.fillWidth: true
        }
        Label {
            text: model.stateName === "failed" ? model.errorMessage
                : model.stateName === "done" ? model.shareURL
                : model.stateName.charAt(0).toUpperCase() + model.stateName.slice(1) + "…"
            font.pointSize: Style.pt(10.5)
            color: model.stateName === "failed" ? Style.failedBadge : Style.secondaryText
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
}
