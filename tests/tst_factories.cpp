#include "HostHarness.h"
#include "SandboxProcess.h"
#include "TaskProbe.h"
#include "TestMain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QWindow>

using Albums = IPhotoUpload::Albums;
Q_DECLARE_METATYPE(Albums)

namespace {

QWidget *visibleBrowserWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->inherits("BrowserWindow"))
            return widget;
    }
    return nullptr;
}

} // namespace

// Every task through the loaded plug-in's factories, as Orvelle asks for
// them, against the sandbox; logins go through the real browser window.
class tst_Factories : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void albumsAfterLogin();
    void userNameAndPicture();
    void uploads_data();
    void uploads();
    void loginWindowClosed();

private:
    QString makeFile(const QString &name, const QByteArray &bytes);
    QJsonArray photos() { return m_sandbox->get("/__sandbox/photos").json().array(); }

    std::unique_ptr<SandboxProcess> m_sandbox;
    HostHarness m_host;
    QTemporaryDir m_files;
};

void tst_Factories::initTestCase()
{
    m_sandbox = std::make_unique<SandboxProcess>(QStringList { "--auto-approve" });
    QVERIFY(m_sandbox->start());
    QVERIFY2(m_host.load(), qPrintable(m_host.errorString()));
    m_host.mainWindow()->show();
}

void tst_Factories::init()
{
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
}

QString tst_Factories::makeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = m_files.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(bytes);
    return path;
}

void tst_Factories::albumsAfterLogin()
{
    // No token yet: the task logs in (user_photos) and lists every page.
    TaskProbe probe;
    std::unique_ptr<ITask> task(m_host.plugin()->newUserAlbumsTask(probe.onValue<Albums>(), probe.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 30000);
    const Albums albums = probe.value.value<Albums>();
    QCOMPARE(albums.size(), 30);
    QCOMPARE(albums.first(), qMakePair(QStringLiteral("Profile Pictures"), false));
    QCOMPARE(albums.at(3).first, QString::fromUtf8("Лето на даче"));
    QCOMPARE(albums.count(qMakePair(QStringLiteral("Trips"), true)), 2);

    // The listing taught the plug-in the album ids: an upload lands there.
    TaskProbe upload;
    std::unique_ptr<ITask> uploadTask(m_host.plugin()->newUploadTask(
        makeFile("a.png", QByteArray("\x89PNG\r\n\x1a\n", 8) + "body"), "Timeline Photos", "in an album",
        upload.onDone(), upload.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(upload.outcomes(), 1, 30000);
    QCOMPARE(upload.successes, 1);
    QCOMPARE(photos().at(0).toObject().value("album").toString(), QStringLiteral("Timeline Photos"));
}

void tst_Factories::userNameAndPicture()
{
    TaskProbe name, picture;
    std::unique_ptr<ITask> nameTask(m_host.plugin()->newUserNameTask(name.onValue<QString>(), name.onError()));
    std::unique_ptr<ITask> pictureTask(
        m_host.plugin()->newUserProfilePictureTask(QSize(80, 60), picture.onValue<QUrl>(), picture.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(name.outcomes() + picture.outcomes(), 2, 30000);
    QCOMPARE(name.value.toString(), QString::fromUtf8("Ирина Соколова"));
    const QUrl url = picture.value.toUrl();
    QVERIFY(url.toString().startsWith(QString::fromUtf8(m_sandbox->origin()) + "/pictures/"));
    QCOMPARE(QImage::fromData(m_sandbox->get(url.toEncoded().mid(m_sandbox->origin().size())).body).size(),
             QSize(80, 60));

    // A reply without the keys still succeeds, with empty values.
    const QByteArray noUrl = R"({"path":"/me/picture","replies":[{"body":"{\"data\":{}}"}]})";
    const QByteArray noName = R"({"path":"/me","replies":[{"body":"{\"id\":\"1\"}"}]})";
    QVERIFY(m_sandbox->script(noUrl));
    QVERIFY(m_sandbox->script(noName));
    nameTask->submit();
    pictureTask->submit();
    QTRY_COMPARE_WITH_TIMEOUT(name.outcomes() + picture.outcomes(), 4, 30000);
    QCOMPARE(name.value.toString(), QString());
    QCOMPARE(picture.value.toUrl(), QUrl());
}

void tst_Factories::uploads_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("album");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("error"); // empty: stored
    const QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + "png";
    const QByteArray jpeg = QByteArray("\xff\xd8\xff\xe0", 4) + "jpeg";
    QTest::newRow("default-album") << "a.png" << png << "" << "hello" << "";
    QTest::newRow("unknown-album") << "b.png" << png << "Nowhere" << "" << "";
    QTest::newRow("capital-JPG") << "c.JPG" << jpeg << "" << "x" << "";
    QTest::newRow("gif") << "d.gif" << QByteArray("GIF89a...") << "" << "x" << "";
    QTest::newRow("quote-in-name") << "e\"f.png" << png << "" << "x" << "";
    QTest::newRow("missing") << "" << QByteArray() << "" << "x" << "Can't find %1";
    QTest::newRow("tiff") << "g.TIFF" << png << "" << "x" << "Facebook does not support .TIFF images";
    QTest::newRow("no-suffix") << "h" << png << "" << "x" << "Facebook does not support . images";
    QTest::newRow("dot-at-end") << "i." << png << "" << "x" << "Facebook does not support . images";
}

void tst_Factories::uploads()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, album);
    QFETCH(QString, message);
    QFETCH(QString, error);
    const QString path = fileName.isEmpty() ? m_files.filePath("missing.png") : makeFile(fileName, bytes);
    if (album == "Nowhere")
        QTest::ignoreMessage(QtDebugMsg, "Album \"Nowhere\" does not exist. Default to application album");
    if (!error.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, "Faild to submit request");
    TaskProbe probe;
    std::unique_ptr<ITask> task(
        m_host.plugin()->newUploadTask(path, album, message, probe.onDone(), probe.onError()));
    QTRY_COMPARE_WITH_TIMEOUT(probe.outcomes(), 1, 30000);
    if (!error.isEmpty()) {
        QCOMPARE(probe.errors, QStringList { error.contains("%1") ? error.arg(path) : error });
        QCOMPARE(photos().size(), 0);
        return;
    }
    QCOMPARE(probe.successes, 1);
    const QJsonObject stored = photos().at(0).toObject();
    QCOMPARE(stored.value("album").toString(), QStringLiteral("Orvelle Photos"));
    QCOMPARE(stored.value("message").toString(), message);
    QCOMPARE(stored.value("file_name").toString(), QString(fileName).replace('"', '_')); // no directories
    QCOMPARE(stored.value("size").toInt(), bytes.size());
}

void tst_Factories::loginWindowClosed()
{
    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    QVERIFY(m_sandbox->post("/__sandbox/expire-tokens").status == 200);
    TaskProbe probe;
    std::unique_ptr<ITask> task(m_host.plugin()->newUserNameTask(probe.onValue<QString>(), probe.onError()));
    QTRY_VERIFY_WITH_TIMEOUT(visibleBrowserWindow(), 30000);
    visibleBrowserWindow()->windowHandle()->close();
    QTRY_COMPARE(probe.errors, QStringList { "Authorisation canceled" });
    QVERIFY(task->isCanceled());
    QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(m_host.mainWindow()));
}

ORVELLE_TEST_MAIN(tst_Factories)
#include "tst_factories.moc"
