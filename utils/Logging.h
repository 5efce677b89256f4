#ifndef UTILS_LOGGING_H
#define UTILS_LOGGING_H

#include <QLoggingCategory>

// What the plug-in and the host say about their work, by subject, so that
// QT_LOGGING_RULES picks it ("orvelle.task.debug=true"). Failures are
// warnings. No text here ever holds a token: texts that may quote an address
// go through SecretMask first. The debug lines the plug-in's contract names
// ("Faild to submit request", ...) stay in the default category.
Q_DECLARE_LOGGING_CATEGORY(lcGraph) // "orvelle.graph": requests, the token, album ids
Q_DECLARE_LOGGING_CATEGORY(lcTask)  // "orvelle.task": phases and outcomes of tasks
Q_DECLARE_LOGGING_CATEGORY(lcLogin) // "orvelle.login": login and feed dialogs

#endif // UTILS_LOGGING_H
