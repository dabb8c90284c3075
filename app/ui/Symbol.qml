import QtQuick

// A named symbol, drawn from the font's own glyphs so that it takes the text colour.
Text {
    property string name

    readonly property var glyphs: ({
        "arrow.up": "\u2191",
        "arrow.up.forward": "\u2197",
        "sun.max.fill": "\u2600",
        "moon.fill": "\u263E",
        "chevron.down": "\u2304",
        "checkmark": "\u2713",
        "tray.and.arrow.down": "\u2913"
    })

    text: glyphs[name] || ""
    renderType: Text.NativeRendering
}
