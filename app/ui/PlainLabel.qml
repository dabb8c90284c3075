import QtQuick
import QtQuick.Controls

// A label whose text is shown as it is: what it shows comes from outside (a file's name, a
// link, the service's or a provider's words) and is never read as markup, which could lay out
// the panel, or fetch an image, as a stranger chose.
Label {
    textFormat: Text.PlainText
}
