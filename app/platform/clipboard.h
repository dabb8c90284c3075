#pragma once

#include <QString>

#include <functional>

// The clipboard as Kavo uses it: replace what is there with plain text. The answer is why the
// text is not on it, empty when it is.
class Clipboard
{
public:
    virtual ~Clipboard() = default;
    virtual QString setText(const QString &text) = 0;
};

// The clipboard of this process's display, for a program that stays running (the tray). On X11
// the process owns the selection itself. On Wayland a compositor takes a copy only from a program
// that has just been clicked, so the text goes to a holder process that copies through the
// compositor's data-control protocol (or Xwayland's clipboard); where neither is there, Qt's own
// copy is tried (it lands after a click in Kavo's window) and the answer says it may not have.
// The primary selection is left alone.
class SystemClipboard : public Clipboard
{
public:
    QString setText(const QString &text) override;
};

// The clipboard of a command that ends right after copying (`kavo share`, `kavo link … copy`,
// kavo-share). A selection dies with its owner, so the text goes to the running tray when there
// is one (`handToTray`, when set, answers whether it took it), else to a holder process that
// serves it until another program copies something.
class LastingClipboard : public Clipboard
{
public:
    using HandToTray = std::function<bool(const QString &text)>;
    void setHandToTray(HandToTray handToTray) { m_handToTray = std::move(handToTray); }
    QString setText(const QString &text) override;

private:
    HandToTray m_handToTray;
};

// The holder: the same executable started again with `argument`, reading the text on standard
// input. It takes the clipboard (Wayland's data control first, else X11), says so on standard
// output, and serves the text until another program takes the clipboard or the display goes.
namespace ClipboardHolder {

inline constexpr const char *argument = "--hold-clipboard";

// Starts a holder of `text` from `program` (this executable when empty) and waits until it
// holds the clipboard; returns why it does not, empty when it does.
QString handOver(const QString &text, const QString &program = {});

// Whether this process was started as a holder: then main() calls serve() and nothing else.
bool isHolder(int argc, char **argv);
int serve(int argc, char **argv);

} // namespace ClipboardHolder
