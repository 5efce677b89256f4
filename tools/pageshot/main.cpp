// orvelle-pageshot: renders a web page with the web engine, as the plug-in's
// browser window would show it, and saves it as a PNG once every image on
// it has loaded. Exits 1 when the page or any of its images failed to load.
//   orvelle-pageshot URL OUTPUT.png

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <cstdio>

namespace {

constexpr int pageWidth = 1000;
constexpr int maxPageHeight = 4000;
constexpr int pollIntervalMs = 100;
constexpr int giveUpMs = 30000;

// null until every image has finished, then what became of them.
const char imagesScript[] = R"(
(function () {
    var images = Array.prototype.slice.call(document.images);
    if (images.some(function (i) { return !i.complete; }))
        return null;
    return { shown: images.filter(function (i) { return i.naturalWidth > 0; }).length,
             broken: images.filter(function (i) { return i.naturalWidth === 0; }).length,
             height: document.documentElement.scrollHeight };
})())";

// Counts frames after a resize, so the picture is taken once the page has
// been laid out and painted at its new size.
const char framesScript[] = R"(
window.__frames = 0;
requestAnimationFrame(function tick() { if (++window.__frames < 3) requestAnimationFrame(tick); });)";

class PageShot : public QObject
{
public:
    PageShot(const QUrl &url, const QString &output)
        : m_output(output)
    {
        m_view.resize(pageWidth, 700);
        m_view.show();
        connect(&m_view, &QWebEngineView::loadFinished, this, [this](bool ok) {
            if (!ok)
                return fail(QStringLiteral("the page did not load"));
            waitForImages();
        });
        QTimer::singleShot(giveUpMs, this, [this] { fail(QStringLiteral("gave up waiting for the page")); });
        m_view.load(url);
    }

private:
    void waitForImages()
    {
        m_view.page()->runJavaScript(QString::fromLatin1(imagesScript), [this](const QVariant &result) {
            if (!result.isValid())
                return void(QTimer::singleShot(pollIntervalMs, this, [this] { waitForImages(); }));
            const QVariantMap images = result.toMap();
            m_shown = images.value(QStringLiteral("shown")).toInt();
            m_broken = images.value(QStringLiteral("broken")).toInt();
            const int height = qBound(200, images.value(QStringLiteral("height")).toInt(), maxPageHeight);
            m_view.resize(pageWidth, height);
            m_view.page()->runJavaScript(QString::fromLatin1(framesScript));
            waitForFrames();
        });
    }

    void waitForFrames()
    {
        m_view.page()->runJavaScript(QStringLiteral("window.__frames"), [this](const QVariant &frames) {
            if (frames.toInt() < 3)
                return void(QTimer::singleShot(pollIntervalMs, this, [this] { waitForFrames(); }));
            save();
        });
    }

    void save()
    {
        if (!m_view.grab().save(m_output))
            return fail(QStringLiteral("could not write ") + m_output);
        std::printf("%s: %d images shown, %d broken\n", qPrintable(m_output), m_shown, m_broken);
        QCoreApplication::exit(m_broken == 0 ? 0 : 1);
    }

    void fail(const QString &why)
    {
        std::fprintf(stderr, "orvelle-pageshot: %s\n", qPrintable(why));
        QCoreApplication::exit(1);
    }

    QWebEngineView m_view;
    QString m_output;
    int m_shown = 0;
    int m_broken = 0;
};

// The web engine's diagnostics are not this tool's output.
void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char **argv)
{
    qInstallMessageHandler(quietMessages);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Saves a web page as the web engine renders it."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("The page."));
    parser.addPositionalArgument(QStringLiteral("output"), QStringLiteral("The PNG file to write."));
    parser.process(app);
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "orvelle-pageshot: wants a URL and an output file (try --help)\n");
        return 2;
    }
    PageShot shot(QUrl::fromUserInput(arguments.at(0)), arguments.at(1));
    return app.exec();
}
