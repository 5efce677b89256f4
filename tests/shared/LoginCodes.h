#ifndef LOGINCODES_H
#define LOGINCODES_H

#include <QByteArray>
#include <QObject>

// A receiver for the plug-in's authFinished(char): records every code it is
// told, in order ("yy", "nc", ...).
class LoginCodes : public QObject
{
    Q_OBJECT
public:
    QByteArray codes;
public slots:
    void onAuthFinished(char code) { codes += code; }
};

#endif // LOGINCODES_H
