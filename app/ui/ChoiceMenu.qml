import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// A menu of choices ({label, value}), the one equal to `current` marked with a check mark;
// `emptyText` stands alone when there are none.
Menu {
    id: menu
    property var choices: []
    property var current
    property bool marksCurrent: true
    property string emptyText: ""
    signal chosen(var value)


    Instantiator {
        model: menu.choices
        delegate: MenuItem {
            id: entry
            required property var modelData
            text: modelData.label
            onTriggered: menu.chosen(modelData.value)
            contentItem: RowLayout {
                spacing: 12
                Label {
                    textFormat: Text.PlainText // text from outside is never markup
                    text: entry.text
                    color: Style.primaryText
                    Layout.fillWidth: true
                }
                Symbol {
                    name: "checkmark"
                    color: Style.primaryText
                    visible: menu.marksCurrent && entry.modelData.value === menu.current
                }
            }
        }
        onObjectAdded: (index, object) => menu.insertItem(index, object)
        onObjectRemoved: (index, object) => menu.removeItem(object)
    }
    MenuItem {
        text: menu.emptyText
        enabled: false
        visible: menu.choices.length === 0 && menu.emptyText !== ""
        height: visible ? implicitHeight : 0
    }
}
