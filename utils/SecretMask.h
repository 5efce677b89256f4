#ifndef SECRETMASK_H
#define SECRETMASK_H

#include <QString>

// Text that leaves the plug-in (error texts for the host, debug lines) may
// quote a signed address, or the service may quote the token in words of its
// own. masked() replaces with "***" the value of every "access_token" item
// (also percent-encoded once or twice, as in an address quoted inside
// another) and every token this process has remembered, wherever it stands;
// the rest of the text stays word for word.
namespace SecretMask {
// A token this process read or received. Empty and very short values are
// ignored: masking them would garble ordinary text.
void remember(const QString &secret);
QString masked(const QString &text);
}

#endif // SECRETMASK_H
