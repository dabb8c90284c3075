import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A menu's divider in the hairline colour.
MenuSeparator {
    topPadding: 3
    bottomPadding: 3
    contentItem: Rectangle {
        implicitWidth: 170
        implicitHeight: 1
        color: Style.hairline
    }
}
