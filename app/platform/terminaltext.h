#pragma once

#include <QString>

// Text from outside (file names, the service's and the providers' texts, links) as it may be
// written to a terminal: control characters (C0, DEL, C1) and the invisible marks that reorder or
// hide what is shown (bidirectional overrides and isolates) appear as escapes such as "\x1b" and
// "\u202e", never as themselves, so that no name can move the cursor, clear the screen, retitle
// the window or hide text. A backslash stays as it is. Everything else is unchanged.
QString terminalSafe(const QString &text);

// A compact JSON document the same way: the same characters written as JSON's own "\u" escapes,
// so that it stays JSON and decodes to the same text.
QByteArray terminalSafeJson(const QByteArray &json);

// Has every message of the log go through terminalSafe (the log is the terminal of the commands).
void installTerminalSafeLog();
