import QtQuick
import Kavo.Ui

// The actions of a past link, for its "more" button and its context menu (which also copies).
ThemedMenu {
    id: menu
    required property var row
    property bool withCopy: false


    ThemedMenuItem {
        text: "Send by email…"
        symbol: "envelope"
        onTriggered: menu.row.openSend()
    }
    ThemedMenuItem {
        text: "Rename…"
        symbol: "pencil"
        onTriggered: menu.row.openRename()
    }
    ThemedSeparator {}
    ChoiceMenu {
        title: "Change expiry"
        symbol: "clock"
        choices: Choices.expiry
        marksCurrent: false
        onChosen: value => Links.setExpiry(menu.row.model.token, value)
    }
    ThemedMenuItem {
        text: menu.row.model.isProtected ? "Change password…" : "Set password…"
        symbol: menu.row.model.isProtected ? "lock.fill" : "lock"
        onTriggered: menu.row.openPassword()
    }
    ThemedMenuItem {
        text: "Copy link"
        symbol: "doc.on.doc"
        visible: menu.withCopy
        onTriggered: menu.row.copyLink()
    }
    ThemedSeparator {}
    ThemedMenuItem {
        text: "Delete"
        symbol: "trash"
        destructive: true
        onTriggered: menu.row.confirmDelete()
    }
}
