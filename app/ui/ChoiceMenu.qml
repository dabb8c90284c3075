import QtQuick
import Kavo.Ui
import QtQuick.Controls

// A menu of choices ({label, value}), the one equal to `current` marked with a check mark;
// `emptyText` stands alone when there are none.
ThemedMenu {
    id: menu
    property var choices: []
    property var current
    property bool marksCurrent: true
    property string emptyText: ""
    signal chosen(var value)

    // The items outlive the menu by a moment when its row goes: then `menu` is already null.
    Instantiator {
        model: menu.choices
        delegate: ThemedMenuItem {
            required property var modelData
            text: modelData.label
            checkmark: menu !== null && menu.marksCurrent && modelData.value === menu.current
            onTriggered: if (menu !== null) menu.chosen(modelData.value)
        }
        onObjectAdded: (index, object) => menu.insertItem(index, object)
        onObjectRemoved: (index, object) => menu.removeItem(object)
    }
    ThemedMenuItem {
        text: menu.emptyText
        enabled: false
        visible: menu.choices.length === 0 && menu.emptyText !== ""
    }
}
