import QtQuick

// A named symbol, drawn from a glyph of the desktop's DejaVu Sans (installed with the
// dependencies) so that it takes the text colour.
Text {
    textFormat: Text.PlainText // text from outside is never markup
    property string name

    readonly property var glyphs: ({
        "arrow.up": "\u2191",
        "arrow.up.forward": "\u2197",
        "sun.max.fill": "\u2600",
        "moon.fill": "\u263E",
        "chevron.down": "\u2304",
        "checkmark": "\u2713",
        "tray.and.arrow.down": "\u2913",
        "exclamationmark": "!",
        "paintpalette": "\u25D0",
        "clock": "\u25F7",
        "clock.badge.xmark": "\u25F7",
        "lock": "\u26B7",
        "lock.fill": "\u26B7",
        "pencil": "\u270E",
        "doc.on.doc": "\u2752",
        "xmark": "\u2715",
        "ellipsis": "\u22EF",
        "envelope": "\u2709",
        "trash": "\u2716"
    })

    text: glyphs[name] || ""
    renderType: Text.NativeRendering
}
