#ifndef PLAINTEXT_H
#define PLAINTEXT_H

#include <QString>

// The plug-in's error messages are written for a dialog box, with "<br>"
// between their parts; a terminal line or a status bar wants plain text.
inline QString plainText(QString message)
{
    return message.replace(QLatin1String("<br>"), QLatin1String(" "));
}

// Text from the service (a user name, album names, error texts) on a
// terminal: control characters, which could move the cursor, retitle the
// window or hide what follows, are shown escaped ("\x1b") instead.
inline QString terminalText(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7f && code <= 0x9f))
            safe += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            safe += c;
    }
    return safe;
}

#endif // PLAINTEXT_H
