import QtQuick
import QtQuick.Controls
import Kavo.Ui

// The history search: what is typed goes to the history store's query, which asks the service
// once typing pauses. The text comes from the store, so a reload of the panel keeps it; Escape
// or the clear button empties it and brings the recent links back.
TextField {
    id: field
    objectName: "historySearch"
    placeholderText: "Search links"
    text: History.query
    onTextEdited: History.query = text
    Keys.onEscapePressed: event => {
        if (text === "") {
            event.accepted = false
            return
        }
        History.query = ""
    }
    leftPadding: 26
    rightPadding: clearButton.visible ? 28 : 8
    topPadding: 5
    bottomPadding: 5
    font.pointSize: Style.pt(11)
    color: Style.primaryText
    placeholderTextColor: Style.secondaryText
    selectionColor: Style.accent
    selectedTextColor: Style.accentInk
    background: Rectangle {
        radius: 7
        color: Style.controlFill
        border.width: field.activeFocus ? 1 : 0
        border.color: Style.accent
    }
    Symbol {
        anchors.left: parent.left
        anchors.leftMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        name: "magnifyingglass"
        size: 10
        color: Style.primaryText
        opacity: 0.55
    }
    IconButton {
        id: clearButton
        objectName: "clearSearch"
        anchors.right: parent.right
        anchors.rightMargin: 4
        anchors.verticalCenter: parent.verticalCenter
        visible: field.text !== ""
        symbol: "xmark"
        tip: "Clear search"
        fill: "transparent"
        onClicked: History.query = ""
    }
}
