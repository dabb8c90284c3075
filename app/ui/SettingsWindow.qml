import QtQuick
import Kavo.Ui
import QtQuick.Controls
import QtQuick.Layouts

// Preferences: the service account, where new uploads go (and that provider's sign-in), and how
// long new links last. Every choice is stored at once.
Window {
    id: settings

    readonly property bool isSigningIntoDropbox: App.dropboxSignInPending
    property string dropboxError: ""

    function present() {
        show()
        raise()
        requestActivate()
    }

    title: "Kavo Preferences"
    // A fixed size: tiling compositors float it at this size.
    width: 460
    height: 500
    minimumWidth: 460
    maximumWidth: 460
    minimumHeight: 500
    maximumHeight: 500
    color: Style.settingsBackground

    palette.window: Style.settingsCard
    palette.windowText: Style.primaryText
    palette.base: Style.settingsBackground
    palette.text: Style.primaryText
    palette.button: Style.settingsCard
    palette.buttonText: Style.primaryText

    readonly property var providers: [{ label: "Google Drive", value: "google" }, { label: "Dropbox", value: "dropbox" }]

    function expiryLabel(days) {
        const match = Choices.expiry.find(c => c.value === days)
        return match ? match.label : days + " days"
    }

    Connections {
        target: App
        function onDropboxSignInEnded(error) {
            settings.dropboxError = error
        }
    }

    component Card: Rectangle {
        default property alias content: inner.data
        property alias spacing: inner.spacing
        Layout.fillWidth: true
        implicitHeight: inner.implicitHeight + 32
        radius: 10
        color: Style.settingsCard
        border.color: Style.settingsCardStroke
        border.width: 1
        ColumnLayout {
            id: inner
            anchors.fill: parent
            anchors.margins: 16
        }
    }
    component SectionTitle: PlainLabel {
        font.pointSize: Style.pt(13)
        font.weight: Font.DemiBold
        color: Style.primaryText
    }
    // A name or address from outside: cut short where the row has no room, whole in a tooltip.
    component NameLabel: PlainLabel {
        id: nameLabel
        elide: Text.ElideRight
        Layout.fillWidth: true
        HoverHandler {
            id: nameHover
        }
        ThemedToolTip {
            objectName: nameLabel.objectName + "Tip"
            visible: nameHover.hovered && nameLabel.truncated
            text: nameLabel.text
        }
    }
    component Note: PlainLabel {
        font.pointSize: Style.pt(11)
        color: Style.settingsSecondaryText
        wrapMode: Text.Wrap
        Layout.fillWidth: true
    }
    component MenuLabel: AbstractButton {
        id: menuLabel
        property string label
        leftPadding: 10
        rightPadding: 10
        topPadding: 5
        bottomPadding: 5
        background: Rectangle {
            radius: 6
            color: Style.settingsCardStroke
            FocusRing {
                control: menuLabel
            }
        }
        contentItem: Row {
            spacing: 6
            PlainLabel {
                text: menuLabel.label
                font.pointSize: Style.pt(12)
                font.weight: Font.Medium
                color: Style.primaryText
            }
            Symbol {
                name: "chevron.up.chevron.down"
                size: 10
                color: Style.primaryText
                anchors.verticalCenter: parent.verticalCenter
            }
        }
    }
    component ProminentButton: AbstractButton {
        id: prominent
        // A small spinner stands in for the label.
        property bool busy: false
        leftPadding: 12
        rightPadding: 12
        topPadding: 4
        bottomPadding: 4
        // Dimmed when it cannot be pressed for want of something; while busy the spinner says why.
        opacity: enabled || busy ? 1 : 0.6
        background: Rectangle {
            radius: 6
            color: Style.accent
            FocusRing {
                control: prominent
            }
        }
        contentItem: Item { // qmllint disable deferred-property-id
            implicitWidth: label.implicitWidth
            implicitHeight: label.implicitHeight
            PlainLabel {
                id: label
                anchors.centerIn: parent
                visible: !prominent.busy
                text: prominent.text
                font.pointSize: Style.pt(11)
                font.weight: Font.DemiBold
                color: Style.accentInk
            }
            Spinner {
                objectName: "signInSpinner"
                anchors.centerIn: parent
                visible: prominent.busy
                width: 14
                height: 14
                color: Style.accentInk
            }
        }
    }

    ScrollView {
        anchors.fill: parent
        contentWidth: availableWidth

        ColumnLayout {
            width: parent.width
            spacing: 18

            PlainLabel {
                text: "Preferences"
                font.pointSize: Style.pt(22)
                font.weight: Font.DemiBold
                color: Style.primaryText
                Layout.topMargin: 20
                Layout.leftMargin: 20
            }

            ColumnLayout {
                spacing: 18
                Layout.leftMargin: 20
                Layout.rightMargin: 20
                Layout.bottomMargin: 20
                Layout.fillWidth: true

                Card {
                    objectName: "accountCard"
                    spacing: 12
                    SectionTitle { text: "Account" }
                    RowLayout {
                        spacing: 10
                        Layout.fillWidth: true
                        Symbol {
                            objectName: "accountSymbol"
                            name: Account.apiKey !== "" ? "person.crop.circle.fill" : "person.crop.circle.badge.exclamationmark"
                            size: Account.apiKey !== "" ? 24 : 22
                            color: Account.apiKey !== "" ? Style.primaryText : Qt.rgba(1.0, 0.58, 0.0, 0.9)
                            opacity: Account.apiKey !== "" ? 0.7 : 1
                        }
                        // The names take the width the buttons leave (and no more).
                        ColumnLayout {
                            spacing: 1
                            Layout.fillWidth: true
                            Layout.preferredWidth: 0
                            NameLabel {
                                objectName: "accountTitle"
                                text: Account.apiKey !== "" ? (Account.name !== "" ? Account.name : "Signed in") : "Not signed in"
                                font.pointSize: Style.pt(13)
                                font.weight: Font.DemiBold
                                color: Style.primaryText
                            }
                            NameLabel {
                                objectName: "accountDetail"
                                text: Account.apiKey !== "" ? Account.email : "Uploads will fail until you sign in."
                                visible: text !== ""
                                font.pointSize: Style.pt(11)
                                color: Style.settingsSecondaryText
                            }
                        }
                        // The buttons as one item: a row of them is placed anew whenever one shows or hides
                        // (the layout, given them one by one, missed a button shown before the window was).
                        Row {
                            spacing: 10
                            Layout.alignment: Qt.AlignVCenter
                            PlainButton {
                                objectName: "accountSignOut"
                                visible: Account.apiKey !== ""
                                text: "Sign out"
                                onClicked: Account.signOut()
                            }
                            PlainButton {
                                visible: Account.apiKey === ""
                                text: "Sign in"
                                onClicked: App.openServicePage("login.php")
                            }
                            ProminentButton {
                                visible: Account.apiKey === ""
                                text: "Sign up"
                                onClicked: App.openServicePage("signup.php")
                            }
                        }
                    }
                }

                Card {
                    objectName: "storageCard"
                    spacing: 14
                    SectionTitle { text: "Storage" }
                    RowLayout {
                        spacing: 10
                        PlainLabel {
                            text: "Upload new files to"
                            font.pointSize: Style.pt(13)
                            color: Style.primaryText
                        }
                        MenuLabel {
                            objectName: "providerMenu"
                            label: Preferences.selectedProvider === "dropbox" ? "Dropbox" : "Google Drive"
                            onClicked: providerMenu.popup(this, 0, height)
                            ChoiceMenu {
                                id: providerMenu
                                choices: settings.providers
                                current: Preferences.selectedProvider === "dropbox" ? "dropbox" : "google"
                                onChosen: value => Preferences.selectedProvider = value
                            }
                        }
                    }
                    RowLayout {
                        readonly property bool dropbox: Preferences.selectedProvider === "dropbox"
                        readonly property bool signedIn: dropbox ? Dropbox.isSignedIn : Google.isSignedIn
                        readonly property bool pending: dropbox ? App.dropboxSignInPending : App.googleSignInPending
                        id: providerRow
                        spacing: 10
                        Layout.fillWidth: true
                        Symbol {
                            name: providerRow.dropbox ? "shippingbox.fill" : "cloud.fill"
                            size: 20
                            color: Style.primaryText
                            opacity: 0.7
                        }
                        ColumnLayout {
                            spacing: 1
                            Layout.fillWidth: true
                            Layout.preferredWidth: 0
                            NameLabel {
                                text: providerRow.dropbox ? "Dropbox" : "Google Drive"
                                font.pointSize: Style.pt(12)
                                font.weight: Font.DemiBold
                                color: Style.primaryText
                            }
                            NameLabel {
                                objectName: "providerStatus"
                                text: !providerRow.signedIn ? "Not signed in"
                                    : providerRow.dropbox ? (Dropbox.accountEmail || Dropbox.accountName || "Signed in")
                                    : (Google.userEmail || "Signed in")
                                font.pointSize: Style.pt(11)
                                color: Style.settingsSecondaryText
                            }
                        }
                        // The buttons as one item: a row of them is placed anew whenever one shows or hides
                        // (the layout, given them one by one, missed a button shown before the window was).
                        Row {
                            spacing: 10
                            Layout.alignment: Qt.AlignVCenter
                            PlainButton {
                                objectName: "providerSignOut"
                                visible: providerRow.signedIn
                                text: "Sign out"
                                onClicked: providerRow.dropbox ? Dropbox.signOut() : Google.signOut()
                            }
                            PlainButton {
                                objectName: "providerCancel"
                                visible: !providerRow.signedIn && providerRow.pending
                                text: "Cancel"
                                onClicked: App.cancelSignIn(providerRow.dropbox ? "dropbox" : "google")
                            }
                            ProminentButton {
                                objectName: "providerSignIn"
                                visible: !providerRow.signedIn
                                enabled: !providerRow.pending
                                busy: providerRow.pending
                                text: "Sign in"
                                onClicked: {
                                    if (providerRow.dropbox) {
                                        settings.dropboxError = ""
                                        App.signInToDropbox()
                                    } else {
                                        App.signInToGoogle()
                                    }
                                }
                            }
                        }
                    }
                    PlainLabel {
                        visible: settings.dropboxError !== ""
                        text: settings.dropboxError
                        font.pointSize: Style.pt(11)
                        color: Qt.rgba(1.0, 0.23, 0.19, 0.9)
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    Note { text: "Existing share links keep using whichever provider they were uploaded to." }
                }

                Card {
                    objectName: "linksCard"
                    spacing: 12
                    SectionTitle { text: "Download links" }
                    RowLayout {
                        spacing: 10
                        PlainLabel {
                            text: "Link expires after"
                            font.pointSize: Style.pt(13)
                            color: Style.primaryText
                        }
                        MenuLabel {
                            objectName: "expiryMenu"
                            label: settings.expiryLabel(Preferences.expiryDays) // qmllint disable type
                            onClicked: expiryMenu.popup(this, 0, height)
                            ChoiceMenu {
                                id: expiryMenu
                                choices: Choices.expiry
                                current: Preferences.expiryDays // qmllint disable type
                                onChosen: value => Preferences.expiryDays = value
                            }
                        }
                    }
                    Note { text: "Applies to new uploads. Existing links keep their original expiry." }
                }
            }
        }
    }
}
