import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// The panel under the tray icon: a header, then the sign-in panel (no account yet) or the design
// picker with the uploads and recent links, then a footer. Tray icons on Linux take no drops, so
// the whole panel is the drop target: files dragged over it light it (and the tray icon) up, and
// dropping them starts their upload.
Window {
    id: popover

    width: 320
    height: 400
    // A fixed size: tiling compositors float such a window at its size instead of tiling it.
    minimumWidth: 320
    maximumWidth: 320
    minimumHeight: 400
    maximumHeight: 400
    // Under the tray icon a frameless panel above the other windows; one shown for another
    // application's drag never takes the focus from it. Without a tray, an ordinary window.
    flags: App.panelIsWindow ? Qt.Window
                             : Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
                               | (App.panelShownForDrag ? Qt.WindowDoesNotAcceptFocus : 0)
    title: "Kavo"
    color: Style.panelFill
    visible: App.popoverVisible
    x: App.popoverPosition.x
    y: App.popoverPosition.y

    readonly property bool signedIn: Account.apiKey !== ""

    // A link action's outcome outlives its row: the warning of an incomplete cloud cleanup comes
    // once the link's row is gone, and a failure whose link a reload took away has no row to
    // show it in.
    readonly property var failureTitles: ({
        design: "Couldn't change the design",
        expiry: "Couldn't change the expiry",
        rename: "Couldn't rename the file",
        password: "Couldn't change the password",
        delete: "Couldn't delete the link"
    })
    Connections {
        target: Links
        function onFinished(token, action, error, warning) {
            if (action === "delete" && error === "" && warning !== "")
                App.alert("Cleanup incomplete", warning)
            else if (error !== "" && popover.failureTitles[action] !== undefined && !Links.isListed(token))
                App.alert(popover.failureTitles[action], error)
        }
    }

    // Files copied in a file manager, pasted into the panel, are a drop (a text field that has
    // the focus takes its own paste first).
    Shortcut {
        sequences: [StandardKey.Paste] // qmllint disable unqualified
        onActivated: App.pasteFiles()
    }

    LinkDialogs {
        id: linkDialogs
        objectName: "linkDialogs"
    }

    // Menus and dialogs inside the panel take the theme's colours from here.
    palette.window: Style.dark ? Style.settingsCard : Style.settingsBackground
    palette.windowText: Style.primaryText
    palette.base: Style.settingsBackground
    palette.text: Style.primaryText
    palette.button: Style.settingsCard
    palette.buttonText: Style.primaryText
    palette.placeholderText: Style.secondaryText

    onVisibleChanged: if (visible && !App.panelShownForDrag) requestActivate()
    // Closes when the user clicks elsewhere (the controller knows when not to).
    onActiveChanged: if (!active && visible) App.panelLostFocus()
    onClosing: App.popoverVisible = false
    Connections {
        target: App
        function onPanelRaiseRequested() {
            if (!popover.visible || App.panelShownForDrag)
                return
            if (popover.visibility === Window.Minimized)
                popover.showNormal()
            popover.raise()
            popover.requestActivate()
        }
    }

    // The panel background: an opaque fill under the wash, framed, lit while files hover.
    Rectangle {
        anchors.fill: parent
        color: Style.panelFallbackWash
        border.width: dropArea.hovering ? 2 : 1
        border.color: dropArea.hovering ? Style.accent : Style.cardStroke
    }

    DropArea {
        id: dropArea
        objectName: "dropArea"

        property bool hovering: false

        anchors.fill: parent
        onEntered: drag => {
            if (!drag.hasUrls || !App.acceptsDrop(drag.urls)) {
                drag.accepted = false
                return
            }
            drag.accept(Qt.CopyAction)
            hovering = true
            App.setDropHovering(true)
        }
        onExited: {
            hovering = false
            App.setDropHovering(false)
        }
        onDropped: drop => {
            hovering = false
            App.setDropHovering(false)
            if (!drop.hasUrls || !App.acceptsDrop(drop.urls))
                return
            drop.accept(Qt.CopyAction)
            App.handleDrop(drop.urls)
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        // Escape closes the panel under the tray, as clicking elsewhere does, once nothing inside
        // took it (a search field clears itself first, a menu or dialog closes itself). A panel
        // that is a window stays until it is closed as windows are.
        focus: true
        Keys.onEscapePressed: event => {
            if (App.panelIsWindow) {
                event.accepted = false
                return
            }
            App.popoverVisible = false
        }

        // Header
        Item {
            Layout.fillWidth: true
            implicitHeight: header.implicitHeight + 20
            // A pinned panel is moved by its header, as a title bar would: on Wayland only the
            // compositor may move a window; on X11 the panel follows the pointer itself, since a
            // window manager's move started for a frameless window may outlast the button.
            MouseArea {
                objectName: "headerGrip"
                anchors.fill: parent
                enabled: Preferences.keepPanelOpen && !App.panelIsWindow
                cursorShape: pressed ? Qt.ClosedHandCursor : Qt.ArrowCursor
                property point pressedAt
                onPressed: mouse => {
                    if (Qt.platform.pluginName === "wayland")
                        popover.startSystemMove()
                    pressedAt = Qt.point(mouse.x, mouse.y)
                }
                onPositionChanged: mouse => {
                    if (Qt.platform.pluginName !== "wayland")
                        App.movePanelBy(mouse.x - pressedAt.x, mouse.y - pressedAt.y)
                }
            }
            RowLayout {
                id: header
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 12
                anchors.topMargin: 10
                anchors.bottomMargin: 10
                spacing: 8

                Logo {
                    objectName: "logo"
                    hovering: dropArea.hovering
                }
                PlainLabel {
                    objectName: "googleEmail"
                    visible: Google.isSignedIn && Google.userEmail !== ""
                    text: Google.userEmail
                    font.pointSize: Style.pt(10.5)
                    color: Style.secondaryText
                    elide: Text.ElideMiddle
                    Layout.fillWidth: true
                    Layout.maximumWidth: implicitWidth
                }
                Item { Layout.fillWidth: true }
                AbstractButton {
                    id: dashboardPill
                    objectName: "dashboardPill"
                    visible: popover.signedIn
                    leftPadding: 9
                    rightPadding: 9
                    topPadding: 5
                    bottomPadding: 5
                    hoverEnabled: true
                    onClicked: App.openServicePage("dashboard/")
                    ThemedToolTip {
                        visible: dashboardPill.hovered
                        text: "Open the Kavo dashboard in your browser"
                    }
                    // The accent gradient runs from the top-leading corner to the bottom-trailing one.
                    background: Canvas {
                        objectName: "pillBackground"
                        onWidthChanged: requestPaint()
                        onHeightChanged: requestPaint()
                        onPaint: {
                            const context = getContext("2d")
                            context.reset()
                            const fill = context.createLinearGradient(0, 0, width, height)
                            fill.addColorStop(0, Style.accentLight)
                            fill.addColorStop(1, Style.accent)
                            context.fillStyle = fill
                            const r = height / 2
                            context.beginPath()
                            context.moveTo(r, 0)
                            context.arcTo(width, 0, width, height, r)
                            context.arcTo(width, height, 0, height, r)
                            context.arcTo(0, height, 0, 0, r)
                            context.arcTo(0, 0, width, 0, r)
                            context.closePath()
                            context.fill()
                        }
                    }
                    contentItem: Row {
                        spacing: 4
                        PlainLabel {
                            text: "Open dashboard"
                            font.bold: true
                            font.pointSize: Style.pt(10.5)
                            color: Style.accentInk
                        }
                        Symbol {
                            name: "arrow.up.forward"
                            size: 9
                            color: Style.accentInk
                            anchors.verticalCenter: parent.verticalCenter
                        }
                    }
                }
                AbstractButton {
                    id: pin
                    objectName: "pinButton"
                    visible: !App.panelIsWindow
                    implicitWidth: 22
                    implicitHeight: 22
                    hoverEnabled: true
                    checkable: true
                    checked: Preferences.keepPanelOpen
                    onToggled: Preferences.keepPanelOpen = checked
                    Accessible.name: "Keep open"
                    ThemedToolTip {
                        visible: pin.hovered
                        text: pin.checked ? "Keep open (on): the panel stays until you unpin it; drag the header to move it"
                                          : "Keep open"
                    }
                    background: Rectangle {
                        objectName: "pinFill"
                        radius: 6
                        color: pin.checked ? Style.accent : Style.controlFill
                        border.width: pin.visualFocus ? 1 : 0
                        border.color: Style.accent
                    }
                    contentItem: Symbol {
                        objectName: "pinSymbol"
                        name: "pin"
                        size: 11
                        color: pin.checked ? Style.inkOn(Style.accent) : Style.primaryText
                        opacity: pin.checked ? 1 : 0.75
                    }
                }
                AbstractButton {
                    id: themeToggle
                    objectName: "themeToggle"
                    implicitWidth: 22
                    implicitHeight: 22
                    hoverEnabled: true
                    ThemedToolTip {
                        visible: themeToggle.hovered
                        text: Theme.isDark ? "Switch to light mode" : "Switch to dark mode"
                    }
                    onClicked: Theme.toggle()
                    background: Rectangle {
                        radius: 6
                        color: Style.controlFill
                    }
                    contentItem: Symbol {
                        objectName: "themeSymbol"
                        name: Theme.isDark ? "moon.fill" : "sun.max.fill"
                        size: 11
                        color: Style.primaryText
                        opacity: 0.75
                    }
                }
            }
            Rectangle {
                objectName: "headerHairline"
                anchors.bottom: parent.bottom
                width: parent.width
                height: 1 // the thinnest line a screen can show
                color: Style.hairline
            }
        }

        // Body: the sign-in panel, or the design row over the list.
        Loader {
            Layout.fillWidth: true
            Layout.fillHeight: true
            sourceComponent: popover.signedIn ? signedInBody : signInPanel
        }

        // Footer
        Item {
            Layout.fillWidth: true
            implicitHeight: footer.implicitHeight + 16
            Rectangle {
                width: parent.width
                height: 1
                color: Style.hairline
            }
            RowLayout {
                id: footer
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 12
                anchors.topMargin: 8
                anchors.bottomMargin: 8
                PlainButton {
                    objectName: "preferencesLink"
                    text: "Preferences…"
                    onClicked: {
                        App.popoverVisible = false
                        App.showSettings()
                    }
                }
                Item { Layout.fillWidth: true }
                PlainButton {
                    id: uploadButton
                    objectName: "uploadFiles"
                    text: "Upload files…"
                    onClicked: uploadMenu.open()
                    ThemedMenu {
                        id: uploadMenu
                        objectName: "uploadMenu"
                        y: -height
                        ThemedMenuItem {
                            objectName: "uploadChooseFiles"
                            text: "Files…"
                            onTriggered: App.chooseFilesToUpload(false)
                        }
                        ThemedMenuItem {
                            objectName: "uploadChooseFolder"
                            text: "Folder…"
                            onTriggered: App.chooseFilesToUpload(true)
                        }
                    }
                }
                Item { Layout.preferredWidth: 12 }
                PlainButton {
                    text: "Quit"
                    onClicked: Qt.quit()
                }
            }
        }
    }

    Component {
        id: signInPanel
        // Signed out, or the keyring holding the sign-in is locked: what to do about it, and
        // below it the drops that wait for it.
        ColumnLayout {
            id: signIn
            spacing: 0
            readonly property bool locked: Account.isKeyringLocked
            readonly property bool waiting: App.uploadManager.uploads.count > 0
            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true
                ColumnLayout {
                    anchors.centerIn: parent
                    width: parent.width
                    spacing: 12
                    Rectangle {
                        visible: !signIn.waiting
                        Layout.alignment: Qt.AlignHCenter
                        width: 56
                        height: 56
                        radius: 14
                        color: Qt.rgba(Style.accent.r, Style.accent.g, Style.accent.b, 0.12)
                        Symbol {
                            anchors.centerIn: parent
                            name: signIn.locked ? "lock.fill" : "arrow.up"
                            size: 24
                            color: Style.accent
                        }
                    }
                    PlainLabel {
                        objectName: "signInTitle"
                        Layout.alignment: Qt.AlignHCenter
                        text: signIn.locked ? "Your keyring is locked" : "Sign in to Kavo"
                        font.pointSize: Style.pt(15)
                        font.weight: Font.DemiBold
                        color: Style.primaryText
                    }
                    PlainLabel {
                        Layout.fillWidth: true
                        Layout.leftMargin: 30
                        Layout.rightMargin: 30
                        text: signIn.locked ? "Kavo keeps your sign-in there. Unlock it to go on; uploads wait until then."
                                            : "You'll need a Kavo account to start sharing files."
                        font.pointSize: Style.pt(11)
                        color: Style.secondaryText
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.Wrap
                    }
                    AbstractButton {
                        id: mainButton
                        objectName: "signInButton"
                        Layout.alignment: Qt.AlignHCenter
                        leftPadding: 22
                        rightPadding: 22
                        topPadding: 8
                        bottomPadding: 8
                        focusPolicy: Qt.StrongFocus
                        Keys.onReturnPressed: clicked()
                        Keys.onSpacePressed: clicked()
                        onClicked: signIn.locked ? Account.unlockKeyring() : App.openServicePage("login.php")
                        background: Rectangle {
                            radius: 8
                            color: Style.accent
                            border.width: mainButton.visualFocus ? 2 : 0
                            border.color: Style.primaryText
                        }
                        contentItem: PlainLabel {
                            text: signIn.locked ? "Unlock…" : "Sign in"
                            font.pointSize: Style.pt(12)
                            font.weight: Font.DemiBold
                            color: "black"
                        }
                    }
                    PlainButton {
                        visible: !signIn.locked
                        Layout.alignment: Qt.AlignHCenter
                        text: "Create account"
                        textColor: Style.accent
                        onClicked: App.openServicePage("signup.php")
                    }
                    PlainLabel {
                        visible: !signIn.locked && !signIn.waiting
                        Layout.fillWidth: true
                        Layout.leftMargin: 20
                        Layout.rightMargin: 20
                        text: "After signing in, your browser will open this app and finish set-up automatically."
                        font.pointSize: Style.pt(10)
                        color: Style.secondaryText
                        opacity: 0.8
                        horizontalAlignment: Text.AlignHCenter
                        wrapMode: Text.Wrap
                    }
                }
            }
            ScrollView {
                visible: signIn.waiting
                Layout.fillWidth: true
                Layout.preferredHeight: Math.min(waitingRows.implicitHeight, 150)
                contentWidth: availableWidth
                Column {
                    id: waitingRows
                    objectName: "waitingRows"
                    width: parent.width
                    padding: 8
                    spacing: 6
                    Repeater {
                        model: App.uploadManager.uploads
                        delegate: UploadRow {
                            dialogs: linkDialogs // qmllint disable unqualified
                            width: parent.width - 16
                        }
                    }
                }
            }
        }
    }

    Component {
        id: signedInBody
        ColumnLayout {
            id: body
            spacing: 0
            // A search is on: the list holds its matches, and stays (empty or not) with the field.
            readonly property bool searching: History.query.trim() !== ""
            readonly property bool empty: App.uploadManager.uploads.count === 0 && History.items.count === 0 && !searching
            DesignRow {
                Layout.fillWidth: true
                Layout.leftMargin: 12
                Layout.rightMargin: 12
                Layout.topMargin: 8
                Layout.bottomMargin: 2
            }
            SearchField {
                Layout.fillWidth: true
                Layout.leftMargin: 16
                Layout.rightMargin: 16
                Layout.topMargin: 6
                Layout.bottomMargin: 2
                visible: History.items.count > 0 || History.query !== ""
            }
            Item {
                Layout.fillWidth: true
                Layout.fillHeight: true
                ColumnLayout {
                    objectName: "dropHint"
                    anchors.centerIn: parent
                    visible: body.empty
                    spacing: 6
                    Symbol {
                        Layout.alignment: Qt.AlignHCenter
                        name: "tray.and.arrow.down"
                        size: 32
                        color: Style.primaryText
                        opacity: 0.35
                    }
                    PlainLabel {
                        Layout.alignment: Qt.AlignHCenter
                        text: dropArea.hovering ? "Release to upload" : "Drop files here" // qmllint disable unqualified
                        font.pointSize: Style.pt(11)
                        color: Style.secondaryText
                    }
                }
                ScrollView {
                    id: rowsView
                    objectName: "rowsView"
                    anchors.fill: parent
                    visible: !body.empty
                    contentWidth: availableWidth
                    // The list starts at the top each time the panel opens, and a new upload (which
                    // comes first) is scrolled into view rather than added above what is seen.
                    function toTop() {
                        if (contentItem)
                            contentItem.contentY = 0
                    }
                    Connections {
                        target: App.uploadManager.uploads
                        function onRowsInserted() {
                            rowsView.toTop()
                        }
                    }
                    Connections {
                        target: popover // qmllint disable unqualified
                        function onVisibleChanged() {
                            if (popover.visible) // qmllint disable unqualified
                                rowsView.toTop()
                        }
                    }
                    Column {
                        objectName: "rows"
                        width: parent.width
                        padding: 8
                        spacing: 6
                        Repeater {
                            model: App.uploadManager.uploads
                            delegate: UploadRow {
                                dialogs: linkDialogs // qmllint disable unqualified
                                width: parent.width - 16
                            }
                        }
                        RowLayout {
                            visible: History.items.count > 0 || History.listedQuery !== ""
                            width: parent.width - 16
                            spacing: 8
                            PlainLabel {
                                Layout.topMargin: 4
                                text: History.listedQuery !== "" ? "MATCHING" : "RECENT"
                                font.pointSize: Style.pt(9.5)
                                font.weight: Font.DemiBold
                                color: Style.secondaryText
                            }
                            Rectangle {
                                Layout.topMargin: 4
                                Layout.fillWidth: true
                                Layout.preferredHeight: 1
                                color: Style.hairline
                            }
                        }
                        PlainLabel {
                            objectName: "noMatches"
                            visible: History.listedQuery !== "" && History.listedQuery === History.query.trim() && History.items.count === 0
                            width: parent.width - 16
                            topPadding: 14
                            bottomPadding: 14
                            text: "No links match \u201c" + History.listedQuery + "\u201d"
                            font.pointSize: Style.pt(11)
                            color: Style.secondaryText
                            horizontalAlignment: Text.AlignHCenter
                            wrapMode: Text.Wrap
                        }
                        PlainLabel {
                            objectName: "searchError"
                            visible: body.searching && History.lastError !== ""
                            width: parent.width - 16
                            text: "Couldn't search: " + History.lastError
                            font.pointSize: Style.pt(10)
                            color: Style.errorText
                            wrapMode: Text.Wrap
                            maximumLineCount: 3
                            elide: Text.ElideRight
                        }
                        Repeater {
                            model: History.items
                            delegate: HistoryRow {
                                dialogs: linkDialogs // qmllint disable unqualified
                                width: parent.width - 16
                            }
                        }
                    }
                }
            }
        }
    }
}
