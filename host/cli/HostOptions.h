#ifndef HOSTOPTIONS_H
#define HOSTOPTIONS_H

#include <QMap>
#include <QSize>
#include <QString>
#include <QStringList>

class QCoreApplication;

// What the command line asks of the host.
struct HostOptions
{
    enum class Command { Login, WhoAmI, Albums, CreateAlbum, Upload, Share, Logout, Gui };

    Command command = Command::Gui;
    QString commandWord; // as the user wrote it, for messages
    QStringList files; // upload
    QString album; // by name; both empty: the plug-in's own album
    QString albumId;
    // create-album, or upload to an album made first: its name, its
    // description and who may see it (empty: the service's default).
    QString newAlbum;
    QString albumDescription;
    QString audience; // upload without a new album: the photos' own (empty: the album's)
    QString message;
    bool messageGiven = false; // otherwise each photo's own description
    bool captions = true;
    bool dates = true;
    bool keepLocation = false;
    int parallel = 3; // uploads at once
    bool again = false; // upload: send what the record of sent photos knows as well
    QMap<QString, QString> post; // share: name, caption, description, picture
    QSize pictureSize { 100, 100 };
    QString pluginPath;
    bool json = false;
    bool verbose = false;
    // False without a display the user could see a login window on, or with
    // --no-login: a command that needs a login ends at once instead.
    bool loginVisible = true;
    QString screenshot; // save a picture of the screen there, then quit
    int screenshotDelayMs = 5000;

    // Exits the process on --help and --version; returns false with a
    // one-line error for a command line that asks for nothing the host can
    // do (an unknown option or command, a missing value, an option the
    // command does not take).
    static bool parse(const QCoreApplication &app, HostOptions *options, QString *error);
    // Seen before the application exists: the web engine reads its log
    // switches when it starts.
    static bool verboseRequested(int argc, char **argv);
};

#endif // HOSTOPTIONS_H
