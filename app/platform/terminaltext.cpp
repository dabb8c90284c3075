#include "terminaltext.h"

#include <QtGlobal>

#include <cstdio>
#include <utility>

namespace {
bool hidden(char16_t c)
{
    return c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0) || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x200e
        || c == 0x200f || c == 0x061c;
}

QString escapeHidden(const QString &text, bool jsonStyle);

QtMessageHandler previousHandler = nullptr;

void safeHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString safe = terminalSafe(message);
    if (previousHandler)
        previousHandler(type, context, safe);
    else
        std::fprintf(stderr, "%s\n", qUtf8Printable(qFormatLogMessage(type, context, safe)));
}
}

namespace {
// Each hidden character as an escape: "\xHH" below 0x80 unless JSON's "\uHHHH" is wanted.
QString escapeHidden(const QString &text, bool jsonStyle)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (!hidden(unit))
            safe += c;
        else if (unit < 0x80 && !jsonStyle)
            safe += QStringLiteral("\\x") + QString::number(unit, 16).rightJustified(2, QLatin1Char('0'));
        else
            safe += QStringLiteral("\\u") + QString::number(unit, 16).rightJustified(4, QLatin1Char('0'));
    }
    return safe;
}
}

QString terminalSafe(const QString &text)
{
    return escapeHidden(text, false);
}

QByteArray terminalSafeJson(const QByteArray &json)
{
    return escapeHidden(QString::fromUtf8(json), true).toUtf8();
}

void installTerminalSafeLog()
{
    static bool installed = false;
    if (!std::exchange(installed, true))
        previousHandler = qInstallMessageHandler(safeHandler);
}
