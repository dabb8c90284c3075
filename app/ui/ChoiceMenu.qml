import QtQuick
import Kavo.Ui

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
            // `menu` is the item's own (MenuItem.menu): null before it is added and after it goes.
            readonly property ChoiceMenu choiceMenu: menu as ChoiceMenu
            checkmark: choiceMenu !== null && choiceMenu.marksCurrent && modelData.value === choiceMenu.current
            onTriggered: if (choiceMenu !== null) choiceMenu.chosen(modelData.value)
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
