#ifndef LOGINFLOW_H
#define LOGINFLOW_H

#include <QObject>
#include <QSet>
#include <QString>

// One login at a time, for the tasks that need one. How the login is shown
// is the subclass's business (open()); the rules for whoever asks are here:
//
//   Idle --authWithPermissions(scope)--> Authorising (open(scope) called)
//   Authorising --same scope--> joins: the receiver gets the same outcome
//   Authorising --other scope--> 'b' to every receiver, login goes on
//   Authorising --finish(code)--> code to every receiver --> Idle
//
// Codes: 'y' token stored, 'n' failed, 'c' canceled by the user, 'b' busy.
class LoginFlow : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // receiver's slot takes the codes, once per receiver however often it asks.
    void authWithPermissions(const QString &scope, QObject *receiver, const char *slot);
    bool isAuthorising() const { return m_authorising; }
    QString pendingScope() const { return m_pendingScope; }

    // A login for scope ended with a token, yet the service still refuses
    // the permission: the user declined it. Later logins ask for it again.
    void noteDeclined(const QString &scope);

signals:
    void authFinished(char code);

protected:
    // Shows the service's login for scope; rerequest: a permission the user
    // declined before is asked for again.
    virtual void open(const QString &scope, bool rerequest) = 0;
    // Ends the running login: receivers run with it already over.
    void finish(char code);

private:
    bool m_authorising = false;
    QString m_pendingScope;
    QSet<QString> m_declinedScopes;
};

#endif // LOGINFLOW_H
