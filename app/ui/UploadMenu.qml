import QtQuick
import Kavo.Ui

// The edits of a finished upload's link, for its "more" button and its context menu (which
// also copies): they stay out of the row so that the file's name has the room.
ThemedMenu {
    id: menu
    required property var row
    property bool withCopy: false

    ChoiceMenu {
        title: "Change design"
        symbol: "paintpalette"
        choices: Choices.presets
        current: menu.row.model.presetID
        emptyText: "No presets"
        onChosen: value => Links.changeJobDesign(menu.row.model.id, value)
    }
    ChoiceMenu {
        title: "Change expiry"
        symbol: "clock"
        choices: Choices.expiry
        current: menu.row.model.expiryDays
        onChosen: value => Links.changeJobExpiry(menu.row.model.id, value)
    }
    ThemedMenuItem {
        text: menu.row.model.isProtected ? "Change password…" : "Set password…"
        symbol: menu.row.model.isProtected ? "lock.fill" : "lock"
        onTriggered: menu.row.dialogs.password({ job: menu.row.model.id }, menu.row.model.isProtected)
    }
    ThemedMenuItem {
        text: "Rename…"
        symbol: "pencil"
        onTriggered: menu.row.openRename()
    }
    ThemedMenuItem {
        text: "Copy link"
        symbol: "doc.on.doc"
        visible: menu.withCopy
        onTriggered: menu.row.copyLink()
    }
}
