// orvelle-host: a stand-in for the Orvelle application, for trying the
// plug-in by hand and for the demo.

#include "HostSession.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QPainter>
#include <QStandardPaths>

#include <cstdio>

namespace {

// A photo to upload when none is given: drawn here, saved as JPEG.
QString makeSamplePhoto()
{
    QImage image(640, 400, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(40 + x * 120 / 640, 90 + y * 100 / 400, 200 - y * 80 / 400));
    }
    QPainter painter(&image);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(255, 220, 110));
    painter.drawEllipse(QPoint(470, 110), 55, 55);
    painter.setBrush(QColor(50, 120, 70));
    painter.drawPolygon(QPolygon({ QPoint(0, 400), QPoint(220, 170), QPoint(430, 400) }));
    painter.end();
    const QString path = QStandardPaths::writableLocation(QStandardPaths::TempLocation) + "/orvelle-sample.jpg";
    image.save(path, "JPEG", 90);
    return path;
}

} // namespace

int main(int argc, char **argv)
{
    // The plug-in's browser window is a web view: required before the app.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Velotri"));
    app.setApplicationName(QStringLiteral("Orvelle"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Plays the Orvelle application for the Facebook plug-in. Steps run in the order given:\n"
        "  name | picture | albums | upload | share | demo (name, picture, albums, upload, share)");
    parser.addHelpOption();
    parser.addPositionalArgument("steps", "Steps to run, in order.", "[steps...]");
    const QCommandLineOption plugin("plugin", "The plug-in library to load.", "path", ORVELLE_DEFAULT_PLUGIN);
    const QCommandLineOption file("file", "Photo to upload (default: a generated one).", "path");
    const QCommandLineOption album("album", "Album to upload to (default: the application's album).", "name");
    const QCommandLineOption message("message", "Message posted with the photo.", "text", "Sent from Orvelle");
    const QCommandLineOption size("size", "Profile picture size.", "WxH", "100x100");
    const QCommandLineOption caption("caption", "Caption of the shared post.", "text", "Made with Orvelle");
    const QCommandLineOption screenshot("screenshot", "Save a picture of the screen to path, then quit.", "path");
    const QCommandLineOption delay("screenshot-delay", "Milliseconds before the screenshot.", "ms", "5000");
    parser.addOptions({ plugin, file, album, message, size, caption, screenshot, delay });
    parser.process(app);

    HostSession session(parser.value(plugin));
    QString error;
    if (!session.load(&error)) {
        std::fprintf(stderr, "orvelle-host: %s\n", qPrintable(error));
        return 2;
    }
    QStringList steps = parser.positionalArguments();
    if (steps.isEmpty() || steps == QStringList { "demo" })
        steps = QStringList { "name", "picture", "albums", "upload", "share" };
    const QStringList wh = parser.value(size).split('x');
    const QString photo = parser.isSet(file) ? parser.value(file) : makeSamplePhoto();
    for (const QString &step : steps) {
        if (step == "name")
            session.addName();
        else if (step == "picture")
            session.addPicture(QSize(wh.value(0).toInt(), wh.value(1).toInt()));
        else if (step == "albums")
            session.addAlbums();
        else if (step == "upload")
            session.addUpload(photo, parser.value(album), parser.value(message));
        else if (step == "share")
            session.addShare({ { "name", "Orvelle" }, { "caption", parser.value(caption) },
                               { "description", "Photos from my desktop, shared with Orvelle." } });
        else {
            std::fprintf(stderr, "orvelle-host: unknown step '%s'\n", qPrintable(step));
            return 2;
        }
    }
    if (parser.isSet(screenshot))
        session.scheduleScreenshot(parser.value(screenshot), parser.value(delay).toInt());
    session.start();
    return app.exec();
}
