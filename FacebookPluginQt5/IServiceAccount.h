#ifndef ISERVICEACCOUNT_H
#define ISERVICEACCOUNT_H

#include <QString>
#include <QtPlugin>

#include <functional>

// The user's account with the service, on this computer: a plug-in's second
// interface beside IPhotoUpload. A host reaches it from the same instance:
//
//     auto *account = qobject_cast<IServiceAccount *>(loader.instance());
//
// and finds nullptr in a plug-in that has none.
//
// Binary contract as with IPhotoUpload: never reorder, insert or remove a
// virtual function; a new one goes into a new interface.
class IServiceAccount
{
public:
    virtual ~IServiceAccount() = default;

    // Logs the user out: a login window still open closes (the login ends
    // canceled, as if the user had closed it), the token leaves the host's
    // preferences file, and the service's cookies leave the host's cookie
    // jar (a Network::CookieJar, stored; a jar of another kind is left
    // alone) and the web browser's store, so that the next login, in this
    // process or in the next, starts at the service's login page. While
    // another process has the browser's store open, it is left alone. Every
    // step runs even when one fails. Call it on the GUI thread.
    //
    // done runs exactly once, on the GUI thread, from the event loop (never
    // before logOut() returns): with an empty text when nothing was left
    // behind, otherwise with one line of plain text saying what was. The
    // host may quit from done; the browser's store is written out as the
    // application quits. A plug-in unloaded before then drops done.
    virtual void logOut(std::function<void(const QString &error)> done) = 0;
};

Q_DECLARE_INTERFACE(IServiceAccount, "com.velotri.Orvelle.IServiceAccount")

#endif // ISERVICEACCOUNT_H
