#ifndef SECRETMASK_H
#define SECRETMASK_H

#include <QString>

// Text that leaves the plug-in (error texts for the host, debug lines) may
// quote a signed address. The access token's value is replaced by "***"
// wherever it appears as an "access_token=" item; the rest of the text stays
// word for word.
namespace SecretMask {
QString masked(const QString &text);
}

#endif // SECRETMASK_H
