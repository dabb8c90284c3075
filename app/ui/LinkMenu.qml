import QtQuick
import Kavo.Ui
import QtQuick.Controls

// The actions of a past link, for its "more" button and its context menu (which also copies).
Menu {
    id: menu
    required property var row
    property bool withCopy: false


    MenuItem {
        text: "Send by email…"
        onTriggered: menu.row.openSend()
    }
    MenuItem {
        text: "Rename…"
        onTriggered: menu.row.openRename()
    }
    MenuSeparator {}
    ChoiceMenu {
        title: "Change expiry"
        choices: Choices.expiry
        marksCurrent: false
        onChosen: value => Links.setExpiry(menu.row.model.token, value)
    }
    MenuItem {
        text: menu.row.model.isProtected ? "Change password…" : "Set password…"
        onTriggered: menu.row.openPassword()
    }
    MenuItem {
        text: "Copy link"
        visible: menu.withCopy
        height: visible ? implicitHeight : 0
        onTriggered: menu.row.copyLink()
    }
    MenuSeparator {}
    MenuItem {
        text: "Delete"
        onTriggered: menu.row.confirmDelete()
    }
}
