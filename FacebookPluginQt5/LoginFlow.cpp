#include "LoginFlow.h"

void LoginFlow::authWithPermissions(const QString &scope, QObject *receiver, const char *slot)
{
    connect(this, SIGNAL(authFinished(char)), receiver, slot, Qt::UniqueConnection);
    if (m_authorising) {
        if (scope != m_pendingScope)
            emit authFinished('b');
        return;
    }
    m_pendingScope = scope;
    m_authorising = true;
    // A permission the user declined once is asked for again only when the
    // dialog is told so; otherwise the service grants the rest at once.
    open(scope, m_declinedScopes.contains(scope));
}

void LoginFlow::noteDeclined(const QString &scope)
{
    if (!scope.isEmpty())
        m_declinedScopes.insert(scope);
}

void LoginFlow::finish(char code)
{
    if (!m_authorising)
        return;
    m_authorising = false;
    emit authFinished(code);
}
