#include "HostOptions.h"

#include "FacebookPluginQt5/IPhotoPublishing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using Command = HostOptions::Command;

// The words of the commands; "name" and "picture", the step words of earlier
// versions of the host, still work.
const QMap<QString, Command> commands {
    { "login", Command::Login },   { "whoami", Command::WhoAmI }, { "name", Command::WhoAmI },
    { "picture", Command::WhoAmI }, { "albums", Command::Albums }, { "upload", Command::Upload },
    { "share", Command::Share },   { "logout", Command::Logout }, { "gui", Command::Gui },
    { "create-album", Command::CreateAlbum },
};

// An installed host loads the installed plug-in; one in its build folder
// the one built beside it.
QString defaultPlugin()
{
    const QString installed = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(ORVELLE_INSTALLED_PLUGIN));
    return QFileInfo(installed).isFile() ? QDir::cleanPath(installed) : QStringLiteral(ORVELLE_DEFAULT_PLUGIN);
}

// Options that only some commands take; the others apply to every command.
const QMap<QString, QList<Command>> commandOptions {
    { "album", { Command::Upload } },   { "message", { Command::Upload } }, { "parallel", { Command::Upload } },
    { "again", { Command::Upload } },   { "name", { Command::Share } },     { "caption", { Command::Share } },
    { "description", { Command::Share, Command::CreateAlbum, Command::Upload } },
    { "picture", { Command::Share } }, { "size", { Command::WhoAmI } },
    { "album-id", { Command::Upload } }, { "new-album", { Command::Upload } },
    { "audience", { Command::Upload, Command::CreateAlbum } }, { "no-caption", { Command::Upload } },
    { "no-date", { Command::Upload } }, { "keep-location", { Command::Upload } },
};

} // namespace

bool HostOptions::verboseRequested(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0)
            return true;
    }
    return false;
}

bool HostOptions::parse(const QCoreApplication &app, HostOptions *options, QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the Orvelle application for its Facebook plug-in.\n\n"
        "Commands:\n"
        "  login                  log in (a window opens) for what the other commands need\n"
        "  whoami                 the logged-in user's name and profile picture\n"
        "  albums                 the user's albums: id, name, audience, photos, whether they take uploads\n"
        "  create-album NAME      create an album (see --description, --audience)\n"
        "  upload FILE...         upload photos, prepared while others upload, up to three at once;\n"
        "                         photos this account sent there before are skipped (see --again).\n"
        "                         Each photo's own description is its message and its capture time its\n"
        "                         date; its location is removed\n"
        "  share                  share a post through the feed dialog\n"
        "  logout                 forget the token and the login cookies\n"
        "  gui [FILE...]          a window with all of the above (needs a display)\n\n"
        "Exit status: 0 done (every photo on the service); 1 something failed or was held back;\n"
        "2 a wrong command line; 3 nothing failed, but a photo may have been published.\n\n"
        "A trip, checked in an album only you see before you open it:\n"
        "  orvelle-host upload --new-album \"Porto 2026\" --description \"Three days by the river\" \\\n"
        "      --audience only-me ~/Pictures/Porto/*.JPG"));
    const QCommandLineOption help = parser.addHelpOption();
    // Not Qt's version option: it takes -v, which is --verbose here.
    const QCommandLineOption version("version", "Show the version, and do nothing else.");
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("What to do."), QStringLiteral("command [files...]"));
    const QString sandboxBuild = defaultPlugin();
    const QCommandLineOption plugin(
        "plugin-path",
        QStringLiteral("The plug-in library to load (Qt itself takes --plugin). Default: the sandbox build, %1; the "
                       "real service's build is %2 beside it.")
            .arg(sandboxBuild, QFileInfo(sandboxBuild).fileName().remove(QStringLiteral("Sandbox"))),
        "path", sandboxBuild);
    const QCommandLineOption json("json", "Write one JSON document to stdout instead of text.");
    const QCommandLineOption verbose({ "v", "verbose" },
                                     "Show the plug-in's and the host's log (the orvelle.* categories) on stderr.");
    const QCommandLineOption noLogin("no-login", "Never open a login window: end when a login is needed.");
    const QCommandLineOption album("album", "Album to upload to, by its name (default: the application's album).",
                                   "name");
    const QCommandLineOption albumId("album-id", "Album to upload to, by its id (see albums --json).", "id");
    const QCommandLineOption newAlbum("new-album", "Create this album, then upload to it (once: not when an album "
                                                   "has that name).", "name");
    const QCommandLineOption audience("audience", "Who may see the album (create-album, --new-album) or the photos: "
                                                  "only-me, friends, friends-of-friends or everyone. Photos take "
                                                  "their album's without it.", "who");
    const QCommandLineOption message("message", "Message posted with each photo, instead of its own description.",
                                     "text");
    const QCommandLineOption noCaption("no-caption", "Send no message with the photos (not even their own description).");
    const QCommandLineOption noDate("no-date", "Let the service date the photos by the upload, not when they were taken.");
    const QCommandLineOption keepLocation("keep-location", "Send the photos with the place they were taken.");
    const QCommandLineOption again("again", "Send photos the record of sent photos knows as well.");
    const QCommandLineOption parallel("parallel", "Uploads at once, 1 to 3 (1: one after the other).", "n", "3");
    const QCommandLineOption name("name", "Title of the shared post.", "text", "Orvelle");
    const QCommandLineOption caption("caption", "Caption of the shared post.", "text", "Made with Orvelle");
    const QString postDescription = QStringLiteral("Photos from my desktop, shared with Orvelle.");
    const QCommandLineOption description("description",
                                         QStringLiteral("Description of the new album, or of the shared post "
                                                        "(default: \"%1\").").arg(postDescription),
                                         "text");
    const QCommandLineOption picture("picture", "Address of the shared post's picture.", "url");
    const QCommandLineOption size("size", "Size of the profile picture asked for.", "WxH", "100x100");
    const QCommandLineOption screenshot("screenshot", "Save a picture of the screen, then quit.", "path");
    const QCommandLineOption delay("screenshot-delay", "Milliseconds before the screenshot.", "ms", "5000");
    parser.addOptions({ version, plugin, json, verbose, noLogin, album, albumId, newAlbum, audience, message, noCaption,
                        noDate, keepLocation, again, parallel, name, caption, description, picture, size, screenshot,
                        delay });
    if (!parser.parse(app.arguments())) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(version)) {
        std::printf("orvelle-host %s\n", qPrintable(QCoreApplication::applicationVersion()));
        std::exit(0);
    }
    if (parser.isSet(help))
        parser.showHelp(0);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    const auto command = commands.constFind(positional.first());
    if (command == commands.cend()) {
        *error = QStringLiteral("unknown command '%1'").arg(positional.first());
        return false;
    }
    options->command = *command;
    options->commandWord = positional.first();
    for (const QString &given : parser.optionNames()) {
        const auto takers = commandOptions.constFind(given);
        if (takers != commandOptions.cend() && !takers->contains(options->command)) {
            *error = QStringLiteral("%1 takes no --%2").arg(options->commandWord, given);
            return false;
        }
    }
    options->files = positional.mid(1);
    if (options->command == Command::CreateAlbum) {
        if (options->files.size() != 1) {
            *error = QStringLiteral("create-album takes one name");
            return false;
        }
        options->newAlbum = options->files.takeFirst();
    }
    if (options->command == Command::Upload && options->files.isEmpty()) {
        *error = QStringLiteral("upload needs at least one file");
        return false;
    }
    const bool takesFiles = options->command == Command::Upload || options->command == Command::Gui;
    if (!takesFiles && !options->files.isEmpty()) {
        *error = QStringLiteral("%1 takes no file ('%2')").arg(options->commandWord, options->files.first());
        return false;
    }
    const QStringList wh = parser.value(size).split(QLatin1Char('x'));
    options->pictureSize = QSize(wh.value(0).toInt(), wh.value(1).toInt());
    if (wh.size() != 2 || options->pictureSize.isEmpty()) {
        *error = QStringLiteral("--size wants WIDTHxHEIGHT, like 100x100");
        return false;
    }
    bool parallelOk = false;
    options->parallel = parser.value(parallel).toInt(&parallelOk);
    if (!parallelOk || options->parallel < 1 || options->parallel > 3) {
        *error = QStringLiteral("--parallel wants 1, 2 or 3");
        return false;
    }
    if (parser.isSet(picture) && !QUrl(parser.value(picture), QUrl::StrictMode).isValid()) {
        *error = QStringLiteral("--picture wants an address");
        return false;
    }
    options->pluginPath = parser.value(plugin);
    options->json = parser.isSet(json);
    options->verbose = parser.isSet(verbose);
    options->loginVisible = !parser.isSet(noLogin);
    options->album = parser.value(album);
    options->albumId = parser.value(albumId);
    if (parser.isSet(newAlbum))
        options->newAlbum = parser.value(newAlbum);
    if ((parser.isSet(album) && options->album.isEmpty()) || (parser.isSet(albumId) && options->albumId.isEmpty())) {
        *error = QStringLiteral("--album and --album-id want a name or an id (without either: the application's album)");
        return false;
    }
    if (parser.values(audience).size() > 1) {
        *error = QStringLiteral("give --audience once");
        return false;
    }
    if (int(parser.isSet(album)) + int(parser.isSet(albumId)) + int(parser.isSet(newAlbum)) > 1) {
        *error = QStringLiteral("give one of --album, --album-id and --new-album");
        return false;
    }
    const bool makesAlbum = options->command == Command::CreateAlbum || parser.isSet(newAlbum);
    if (options->command == Command::Upload && !makesAlbum && parser.isSet(description)) {
        *error = QStringLiteral("upload takes --description only with --new-album");
        return false;
    }
    options->albumDescription = makesAlbum ? parser.value(description) : QString();
    options->audience = parser.value(audience);
    // Before anything is sent, and before a login.
    const QString refusal = makesAlbum
        ? Publishing::albumRefusal({ options->newAlbum, options->albumDescription, options->audience })
        : Publishing::albumRefusal({ QStringLiteral("-"), QString(), options->audience });
    if (!refusal.isEmpty()) {
        *error = refusal;
        return false;
    }
    options->message = parser.value(message);
    options->messageGiven = parser.isSet(message);
    options->captions = !parser.isSet(noCaption);
    options->dates = !parser.isSet(noDate);
    options->keepLocation = parser.isSet(keepLocation);
    options->again = parser.isSet(again);
    options->post = { { "name", parser.value(name) },
                      { "caption", parser.value(caption) },
                      { "description", parser.isSet(description) ? parser.value(description) : postDescription } };
    if (parser.isSet(picture))
        options->post.insert(QStringLiteral("picture"), parser.value(picture));
    options->screenshot = parser.value(screenshot);
    options->screenshotDelayMs = parser.value(delay).toInt();
    return true;
}
