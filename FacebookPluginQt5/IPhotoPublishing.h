#ifndef IPHOTOPUBLISHING_H
#define IPHOTOPUBLISHING_H

#include "utils/ITask.h"
#include "utils/TaskFailure.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtPlugin>

#include <functional>

// What a publishing plug-in's work comes to, as data.
namespace Publishing {

// The largest photo file the service takes; a host refuses a larger one
// before reading it.
constexpr qint64 maxPhotoBytes = 25 * 1024 * 1024;

// The user's account with the service.
struct Account
{
    QString id;   // the service's own id for the account: stable across renames
    QString name; // as the user chose it; may change, may be shared
};

struct Album
{
    QString id;
    QString name; // names may repeat: choose albums by id
    bool canUpload = false;
    // Everything else the service tells of the album, by its own names
    // ("description", "count", "privacy", ...), as it gave them, and
    // "audience": who may see it, as an Audience name, when the service
    // said it in words the plug-in knows.
    QVariantMap details;
};

// Who may see an album or a photo, in the words hosts use: "only-me",
// "friends", "friends-of-friends", "everyone".
namespace Audience {
inline QStringList names()
{
    return { QStringLiteral("only-me"), QStringLiteral("friends"), QStringLiteral("friends-of-friends"),
             QStringLiteral("everyone") };
}
inline bool isName(const QString &name) { return names().contains(name); }
} // namespace Audience

// The options a photo may carry (IPhotoPublishing2).
namespace PhotoOption {
// Who may see the photo (an Audience name); without it, its album's audience.
inline QString audience() { return QStringLiteral("audience"); }
// When it was taken, ISO 8601 ("2026-07-14T09:30:00", "+02:00" or "Z" after
// it when known): the service dates the photo by it.
inline QString takenAt() { return QStringLiteral("takenAt"); }
} // namespace PhotoOption

// One photo to publish.
struct Photo
{
    QString filePath; // a JPEG, PNG or GIF file
    QString albumId;  // empty: the application's own album
    QString message;  // may be empty
    // What later versions take beside (who may see it, when it was taken),
    // by name (PhotoOption). A plug-in refuses a name it does not know,
    // before anything is sent (UnsupportedOption), rather than publish
    // without it, and a value it cannot send (BadValue).
    QVariantMap options;
};

// An album to create.
struct NewAlbum
{
    QString name;        // 1 to maxAlbumNameLength characters, spaces around it aside
    QString description; // may be empty
    QString audience;    // an Audience name; empty: the service's default
};

constexpr int maxAlbumNameLength = 100;

// Why the album cannot be asked for, before anything is sent; empty when
// it can.
inline QString albumRefusal(const NewAlbum &album)
{
    if (album.name.trimmed().isEmpty())
        return QStringLiteral("an album needs a name");
    if (album.name.trimmed().toUcs4().size() > maxAlbumNameLength)
        return QStringLiteral("an album's name takes at most %1 characters").arg(maxAlbumNameLength);
    if (!album.audience.isEmpty() && !Audience::isName(album.audience))
        return QStringLiteral("\"%1\" is not an audience (%2)")
            .arg(album.audience, Audience::names().join(QStringLiteral(", ")));
    return QString();
}

struct Result
{
    enum class Outcome {
        Published,            // the service answered with the stored photo's id
        NotPublished,         // never sent, or refused by the service: safe to send again
        MayHaveBeenPublished, // all of it went out and no answer ruled it out:
                              // check the album before sending it again
    };

    Outcome outcome = Outcome::NotPublished;
    QString photoId; // Published: the service's id for the photo
    QString albumId; // Published: the album it went to ("me": the application's album)
    TaskFailure failure; // otherwise: what happened

    // One line for the user.
    QString text() const { return outcome == Outcome::Published ? QString() : failure.text(); }
};

} // namespace Publishing

// A plug-in's interface for hosts that want results as data, beside
// IPhotoUpload (which stays as Orvelle knows it). A host reaches it from the
// same instance:
//
//     auto *publishing = qobject_cast<IPhotoPublishing *>(loader.instance());
//
// and finds nullptr in a plug-in that has none. The network manager is the
// one handed to IPhotoUpload::setManager.
//
// Every request a task sends names that task as its originating object
// (QNetworkRequest::originatingObject()): the ITask* a factory returned, as
// a QObject. A host that watches its manager's replies can tie each one,
// and the bytes it sends, to its own work. A task sends one request at a
// time; before an upload come a permission check, and, after the stored
// token changed, a listing of the albums (both GETs).
//
// Tasks come back already submitted; the host owns them (ITask). Each
// submit ends in exactly one callback, on the GUI thread: onSuccess or
// onFailure, or done for a photo. A photo's local checks (the file can be
// read, its type is taken, the album id is one) run when its request is
// due, after the permission check (and a login, if one is needed).
// The host may delete the task inside its callback.
//
// Binary contract as with IPhotoUpload: virtual functions are never
// reordered or removed, and the structs above keep their layout. What comes
// next needs neither: an audience or the time a photo was taken are
// Photo::options, an album's description or audience its details; a new
// call (creating an album) comes after the last one, under a new IID
// version that the plug-in answers beside this one.
class IPhotoPublishing
{
public:
    using FailureCallback = std::function<void(const TaskFailure &)>;

    virtual ~IPhotoPublishing() = default;

    // The logged-in user's id and name (logging in when needed).
    virtual ITask *newAccountTask(std::function<void(const Publishing::Account &)> onSuccess,
                                  FailureCallback onFailure) = 0;
    // The user's albums, in the service's order.
    virtual ITask *newAlbumListTask(std::function<void(const QList<Publishing::Album> &)> onSuccess,
                                    FailureCallback onFailure) = 0;
    // Publishes one photo to the album of that id. It is sent at most once
    // per submit: after all of it went out it is never sent again unasked.
    // When the service limits the rate, it ends NotPublished with a
    // RateLimited failure instead of waiting on its own: the host holds all
    // its uploads until the limit lifts, then submits it again.
    virtual ITask *newPublishTask(const Publishing::Photo &photo,
                                  std::function<void(const Publishing::Result &)> done) = 0;
};

#define IPhotoPublishing_iid "com.velotri.Orvelle.IPhotoPublishing/1.0"
Q_DECLARE_INTERFACE(IPhotoPublishing, IPhotoPublishing_iid)

// Version 1.1 of the publishing interface: albums the user makes, and
// photos with the options of PhotoOption. A host reaches it as 1.0:
//
//     auto *publishing = qobject_cast<IPhotoPublishing2 *>(loader.instance());
class IPhotoPublishing2 : public IPhotoPublishing
{
public:
    // Creates an album; onCreated hears it with its new id. A failure with
    // maybeActedOn set means the album may exist all the same: list the
    // albums before asking again. Names, audience and their lengths are
    // checked (albumRefusal) before anything is sent: BadValue.
    virtual ITask *newCreateAlbumTask(const Publishing::NewAlbum &album,
                                      std::function<void(const Publishing::Album &)> onCreated,
                                      FailureCallback onFailure) = 0;
};

#define IPhotoPublishing2_iid "com.velotri.Orvelle.IPhotoPublishing/1.1"
Q_DECLARE_INTERFACE(IPhotoPublishing2, IPhotoPublishing2_iid)

#endif // IPHOTOPUBLISHING_H
