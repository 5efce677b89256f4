#ifndef PLAINTEXT_H
#define PLAINTEXT_H

#include <QString>

// The plug-in's error messages are written for a dialog box, with "<br>"
// between their parts; a terminal line or a status bar wants plain text.
inline QString plainText(QString message)
{
    return message.replace(QLatin1String("<br>"), QLatin1String(" "));
}

#endif // PLAINTEXT_H
