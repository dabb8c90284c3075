pragma Singleton
import QtQuick
import Kavo.Ui

// The named colours of the popover and settings, in the light or dark variant that the theme
// store chooses (not the desktop's own setting), and the fixed accent colours.
QtObject {
    readonly property bool dark: Theme.isDark

    // Type sizes are given in points of a 72-per-inch screen, as the designs are.
    function pt(points) {
        return points * 0.75
    }

    function grey(white, alpha) {
        return Qt.rgba(white, white, white, alpha)
    }

    // The ink for symbols on a badge of colour `fill` (over the panel): the primary text colour
    // or the dark accent ink, whichever stands out more from it, so that a badge reads in both
    // themes and while its colour changes.
    function inkOn(fill) {
        function channel(v) { return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4) }
        function luminance(c) { return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b) }
        function over(top, under) {
            return Qt.rgba(top.r * top.a + under.r * (1 - top.a), top.g * top.a + under.g * (1 - top.a),
                           top.b * top.a + under.b * (1 - top.a), 1)
        }
        function contrast(a, b) {
            const la = luminance(a), lb = luminance(b)
            return (Math.max(la, lb) + 0.05) / (Math.min(la, lb) + 0.05)
        }
        const under = over(fill, panelFill)
        return contrast(over(primaryText, under), under) >= contrast(accentInk, under) ? primaryText : accentInk
    }

    readonly property color panelFill: dark ? Qt.rgba(0.11, 0.11, 0.12, 1) : Qt.rgba(0.96, 0.96, 0.97, 1)
    readonly property color panelFallbackWash: dark ? grey(0.0, 0.45) : grey(1.0, 0.55)
    readonly property color cardFill: dark ? grey(1.0, 0.07) : grey(0.0, 0.04)
    readonly property color cardStroke: dark ? grey(1.0, 0.06) : grey(0.0, 0.08)
    readonly property color hairline: dark ? grey(1.0, 0.07) : grey(0.0, 0.08)
    readonly property color controlFill: dark ? grey(1.0, 0.08) : grey(0.0, 0.06)
    readonly property color pressedFill: dark ? grey(1.0, 0.14) : grey(0.0, 0.10)
    readonly property color progressTrack: dark ? grey(1.0, 0.08) : grey(0.0, 0.08)
    readonly property color secondaryText: dark ? grey(1.0, 0.55) : grey(0.0, 0.58)
    readonly property color primaryText: dark ? grey(1.0, 0.92) : grey(0.0, 0.88)
    readonly property color settingsBackground: dark ? Qt.rgba(0.09, 0.09, 0.10, 1) : grey(1.0, 1.0)
    readonly property color settingsCard: dark ? Qt.rgba(0.17, 0.17, 0.18, 1) : grey(0.97, 1.0)
    readonly property color settingsCardStroke: dark ? grey(1.0, 0.06) : grey(0.0, 0.10)
    readonly property color settingsSecondaryText: dark ? grey(1.0, 0.62) : grey(0.0, 0.58)

    // Menus, tooltips and dialogs: the settings window's card and background colours, its card
    // stroke as their outline, and the pressed fill under the entry the pointer is on.
    readonly property color popupFill: dark ? settingsCard : settingsBackground
    readonly property color popupStroke: settingsCardStroke
    readonly property color popupHighlight: pressedFill
    readonly property color destructive: dark ? Qt.rgba(1.0, 0.27, 0.23, 1) : Qt.rgba(0.84, 0.15, 0.13, 1)
    readonly property color errorText: Qt.rgba(1.0, 0.23, 0.19, 0.85)

    readonly property color accent: Qt.rgba(0.18, 0.835, 1.0, 1)
    readonly property color accentLight: Qt.rgba(0.545, 0.91, 1.0, 1)
    readonly property color accentInk: Qt.rgba(0.039, 0.086, 0.125, 1)
    readonly property color failedBadge: Qt.rgba(0.88, 0.33, 0.32, 0.9)
    readonly property color completedBadge: Qt.rgba(0.30, 0.72, 0.40, 0.85)
    readonly property color sentConfirmation: Qt.rgba(0.25, 0.70, 0.38, 1)
}
