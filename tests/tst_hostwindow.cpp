#include "PluginPaths.h"
#include "PreferencesFile.h"
#include "SandboxProcess.h"
#include "TestMain.h"
#include "SamplePhotos.h"

#include "window/HostWindow.h"
#include "plugin/PluginHost.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDropEvent>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

// The stand-in host's window on an X server, driven as a user would: it
// shows who is logged in and the albums, takes dropped photos and uploads
// them with a progress bar each.
class tst_HostWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsTheAccount();
    void serviceTextShownAsPlainText();
    void profileAnswersThatFallShort_data();
    void profileAnswersThatFallShort();
    void uploadsDroppedPhotos();
    void secondUploadSendsOnlyWhatIsNew();
    void sendsAsChosen_data();
    void sendsAsChosen();
    void createsAnAlbum_data();
    void createsAnAlbum();
    void batchAsksForOneLogin();
    void shares_data();
    void shares();
    void logOutShowsTheLoginPageNext();
    void cleanupTestCase();

private:
    template<typename T>
    T *child(const char *name) const
    {
        return m_window->findChild<T *>(QString::fromLatin1(name));
    }

    void upload()
    {
        QSignalSpy finished(m_window.get(), &HostWindow::uploadsFinished);
        QTest::mouseClick(child<QPushButton>("uploadButton"), Qt::LeftButton);
        QVERIFY(finished.wait(60000));
    }
    int storedPhotos() const { return m_sandbox->get("/__sandbox/photos").json().array().size(); }

    std::unique_ptr<SandboxProcess> m_sandbox;
    std::unique_ptr<PluginHost> m_host;
    std::unique_ptr<HostWindow> m_window;
    QTemporaryDir m_photos;
};

void tst_HostWindow::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    m_sandbox = std::make_unique<SandboxProcess>(QStringList { "--auto-approve" });
    QVERIFY(m_sandbox->start());
    m_host = std::make_unique<PluginHost>(PluginPaths::library(PluginPaths::Build::Sandbox));
    QString error;
    QVERIFY2(m_host->load(&error), qPrintable(error));
    m_window = std::make_unique<HostWindow>(m_host.get());
    m_host->setMainWindow(m_window.get());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_HostWindow::showsTheAccount()
{
    QSignalSpy loaded(m_window.get(), &HostWindow::accountLoaded);
    m_window->loadAccount();
    QVERIFY(loaded.wait(30000));
    QCOMPARE(child<QLabel>("userName")->text(), QStringLiteral("Ирина Соколова"));
    QVERIFY(!child<QLabel>("picture")->pixmap(Qt::ReturnByValue).isNull());
    const QListWidget *albums = child<QListWidget>("albums");
    QCOMPARE(albums->count(), 30); // two called "Trips", told apart by the rest of their lines
    QCOMPARE(albums->item(6)->text(), QStringLiteral("Trips — Weekends in the Alps · 0 photos · only me"));
    QVERIFY(!(albums->item(0)->flags() & Qt::ItemIsSelectable));
    QVERIFY(albums->item(3)->flags() & Qt::ItemIsSelectable);
}

// What the service says is text, never markup, and its picture address is
// fetched only from the web: a file: address would read the user's disk.
void tst_HostWindow::serviceTextShownAsPlainText()
{
    const QString local = m_photos.filePath("local.png");
    QVERIFY(SamplePhotos::writeImage(local, SamplePhotos::twoColours({ 64, 64 }), "png"));
    const QJsonObject name { { "status", 200 }, { "body", R"({"name":"<b>Evil</b> <img src=x>","id":"1"})" } };
    const QJsonObject picture { { "status", 200 },
                                { "body", QString(R"({"data":{"url":"%1"}})").arg(QUrl::fromLocalFile(local).toString()) } };
    QVERIFY(m_sandbox->script(QJsonDocument(QJsonObject { { "path", "/me" }, { "replies", QJsonArray { name } } }).toJson()));
    QVERIFY(m_sandbox->script(
        QJsonDocument(QJsonObject { { "path", "/me/picture" }, { "replies", QJsonArray { picture } } }).toJson()));
    QSignalSpy loaded(m_window.get(), &HostWindow::accountLoaded);
    m_window->loadAccount();
    QVERIFY(loaded.wait(30000));
    QCOMPARE(child<QLabel>("userName")->text(), QStringLiteral("<b>Evil</b> <img src=x>"));
    QCOMPARE(child<QLabel>("userName")->textFormat(), Qt::PlainText);
    QVERIFY(child<QLabel>("picture")->pixmap(Qt::ReturnByValue).isNull());
}

void tst_HostWindow::profileAnswersThatFallShort_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::newRow("picture-fails") << "/me/picture" << 400 << R"({"error":{"message":"no picture","code":100}})";
    QTest::newRow("profile-without-name") << "/me" << 200 << R"({"id":"1"})";
}

// A picture that cannot be had still leaves the albums listed; a profile
// without a name is said once, and never asked for again on its own.
void tst_HostWindow::profileAnswersThatFallShort()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QString, body);
    const QJsonObject reply { { "status", status }, { "body", body } };
    QVERIFY(m_sandbox->script(QJsonDocument(QJsonObject { { "path", path }, { "method", "GET" }, { "replies", QJsonArray { reply } } }).toJson()));
    const auto asked = [this] { return m_sandbox->counters().value("requests").toObject().value("/me").toInt(); };
    const int before = asked();
    QSignalSpy loaded(m_window.get(), &HostWindow::accountLoaded);
    m_window->loadAccount();
    if (path == "/me/picture") {
        QVERIFY(loaded.wait(30000));
        QCOMPARE(child<QListWidget>("albums")->count(), 30);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_window->statusBar()->currentMessage(), QStringLiteral("The service did not say which account this is."), 30000);
    QCOMPARE(asked(), before + 1);
    m_window->loadAccount(); // the user logs in again
    QVERIFY(loaded.wait(30000));
}

void tst_HostWindow::uploadsDroppedPhotos()
{
    const QString photo = m_photos.filePath("meadow.png");
    const QString broken = m_photos.filePath("broken.gif");
    QVERIFY(SamplePhotos::writeImage(photo, SamplePhotos::twoColours({ 3000, 2000 }), "png"));
    QFile(broken).open(QIODevice::WriteOnly);

    QMimeData files;
    files.setUrls({ QUrl::fromLocalFile(photo), QUrl::fromLocalFile(broken) });
    QDragEnterEvent enter(QPoint(50, 50), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_window.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(50, 50), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_window.get(), &drop);
    QTreeWidget *photos = child<QTreeWidget>("photos");
    QCOMPARE(photos->topLevelItemCount(), 2);
    QTRY_VERIFY(!photos->topLevelItem(0)->icon(0).isNull()); // a thumbnail, made off the GUI thread

    QListWidget *albums = child<QListWidget>("albums");
    albums->setCurrentRow(3);
    upload();

    const auto bar = [photos](int row) { return photos->topLevelItem(row)->data(1, Qt::UserRole + 1).toInt(); };
    QCOMPARE(bar(0), 100);
    QVERIFY2(photos->topLevelItem(0)->text(2).startsWith("Uploaded (scaled 3000×2000 → 2048×1365, PNG → JPEG)"),
             qPrintable(photos->topLevelItem(0)->text(2)));
    QCOMPARE(bar(1), 0);
    // The bar is drawn in its own row's cell: full there, then empty.
    const auto cell = [photos] {
        QRect rect = photos->visualItemRect(photos->topLevelItem(0));
        rect.setLeft(photos->header()->sectionViewportPosition(1));
        rect.setWidth(photos->header()->sectionSize(1));
        return photos->viewport()->grab(rect).toImage();
    };
    const QImage full = cell();
    photos->topLevelItem(0)->setData(1, Qt::UserRole + 1, 0);
    QVERIFY(cell() != full);
    photos->topLevelItem(0)->setData(1, Qt::UserRole + 1, 100);
    QVERIFY2(photos->topLevelItem(1)->text(2).contains("cannot read broken.gif"), qPrintable(photos->topLevelItem(1)->text(2)));
    const QJsonArray stored = m_sandbox->get("/__sandbox/photos").json().array();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.at(0).toObject().value("album").toString(), QStringLiteral("Лето на даче"));
}

// Rows can be removed; a second click sends only the new photo; a photo the
// record knows was sent goes again only when the user says yes.
void tst_HostWindow::secondUploadSendsOnlyWhatIsNew()
{
    QTreeWidget *photos = child<QTreeWidget>("photos");
    QCOMPARE(storedPhotos(), 1); // meadow.png, from the test before
    photos->topLevelItem(1)->setSelected(true); // broken.gif
    QTest::mouseClick(child<QPushButton>("removeButton"), Qt::LeftButton);
    QCOMPARE(photos->topLevelItemCount(), 1);
    const QString hill = m_photos.filePath("hill.png");
    QVERIFY(SamplePhotos::writeImage(hill, SamplePhotos::twoColours({ 400, 300 }, Qt::green, Qt::blue), "png"));
    // meadow.png again, edited since it was uploaded: held back until the user says yes.
    QVERIFY(SamplePhotos::writeImage(m_photos.filePath("meadow.png"), SamplePhotos::twoColours({ 401, 300 }), "png"));
    m_window->addPhotos({ hill, m_photos.filePath("meadow.png") });
    upload();
    QCOMPARE(storedPhotos(), 2); // hill.png only
    QVERIFY2(photos->topLevelItem(0)->text(2).startsWith("Uploaded"), qPrintable(photos->topLevelItem(0)->text(2)));
    QVERIFY2(photos->topLevelItem(1)->text(2).startsWith("Uploaded"), qPrintable(photos->topLevelItem(1)->text(2)));
    QVERIFY2(photos->topLevelItem(2)->text(2).startsWith("Changed since sent: changed since it was uploaded to Лето на даче on "),
             qPrintable(photos->topLevelItem(2)->text(2)));

    auto *ask = m_window->findChild<QMessageBox *>("sendAgainBox");
    QVERIFY(ask && ask->isVisible());
    QSignalSpy finished(m_window.get(), &HostWindow::uploadsFinished);
    ask->button(QMessageBox::Yes)->click();
    QVERIFY(finished.wait(60000));
    QCOMPARE(storedPhotos(), 3);
    QVERIFY2(photos->topLevelItem(2)->text(2).startsWith("Uploaded"), qPrintable(photos->topLevelItem(2)->text(2)));
}

void tst_HostWindow::sendsAsChosen_data()
{
    QTest::addColumn<QString>("album"); // how its line starts
    QTest::addColumn<int>("audience"); // 0: the album's; "Only me" right below it
    QTest::addColumn<QString>("caption"); // written over the photo's own; null: left as read
    QTest::addColumn<QString>("message"); // the window's, for every photo
    QTest::addColumn<QString>("privacy"); // on the service
    QTest::addColumn<QString>("sent");
    QTest::newRow("only-me") << "Лето" << 1 << "Not this" << "For all" << "SELF" << "For all";
    QTest::newRow("own-caption") << "Лето" << 2 << QString() << "" << "ALL_FRIENDS" << "Grandma's garden";
    QTest::newRow("caption-emptied") << "Лето" << 4 << "" << "" << "EVERYONE" << "";
    QTest::newRow("second-trips") << "Trips — W" << 0 << "Snow" << "" << "SELF" << "Snow";
}

void tst_HostWindow::sendsAsChosen()
{
    QFETCH(QString, album);
    QFETCH(int, audience);
    QFETCH(QString, caption);
    QFETCH(QString, message);
    QFETCH(QString, privacy);
    QFETCH(QString, sent);
    QTreeWidget *photos = child<QTreeWidget>("photos");
    photos->clear();
    QImage image = SamplePhotos::twoColours({ 80, 60 + storedPhotos() });
    image.setText("XML:com.adobe.xmp", R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
        <rdf:Description xmlns:dc="http://purl.org/dc/elements/1.1/" dc:description="Grandma's garden"/></rdf:RDF></x:xmpmeta>)");
    const QString file = m_photos.filePath(QTest::currentDataTag() + QStringLiteral(".png"));
    QVERIFY(image.save(file));
    m_window->addPhotos({ file });
    QTreeWidgetItem *row = photos->topLevelItem(0);
    QTRY_COMPARE(row->text(3), QStringLiteral("Grandma's garden")); // read in the background
    if (!caption.isNull()) {
        const QPoint cell(photos->header()->sectionViewportPosition(3) + 5, photos->visualItemRect(row).center().y());
        QTest::mouseClick(photos->viewport(), Qt::LeftButton, {}, cell); // a double click's first press
        QTest::mouseDClick(photos->viewport(), Qt::LeftButton, {}, cell);
        QLineEdit *editor = photos->viewport()->findChild<QLineEdit *>();
        QVERIFY(editor);
        editor->setText(caption);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(row->text(3), caption); // committed once the key is handled
    }
    QListWidgetItem *chosen = child<QListWidget>("albums")->findItems(album, Qt::MatchStartsWith).value(0);
    child<QListWidget>("albums")->setCurrentItem(chosen);
    child<QComboBox>("audienceBox")->setCurrentIndex(audience);
    child<QLineEdit>("message")->setText(message);
    upload();
    const QJsonObject stored = m_sandbox->get("/__sandbox/photos").json().array().last().toObject();
    QCOMPARE(stored.value("album_id").toString(), chosen->data(Qt::UserRole).toString());
    QCOMPARE(stored.value("privacy").toString(), privacy);
    QCOMPARE(stored.value("message").toString(), sent);
}

void tst_HostWindow::createsAnAlbum_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("reply"); // the service's, scripted; empty: its own
    QTest::addColumn<QString>("status");
    QTest::newRow("created") << "Lakes" << QByteArray() << "Album \"Lakes\" created";
    QTest::newRow("no-id") << "Lost" << QByteArray(R"({"status":200,"body":"{}"})") << "The album may have been";
    QTest::newRow("refused") << "No" << QByteArray(R"({"error":{"code":100}})") << "The album was not created";
}

void tst_HostWindow::createsAnAlbum()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, reply);
    QFETCH(QString, status);
    if (!reply.isEmpty())
        QVERIFY(m_sandbox->script(R"({"path":"/me/albums","method":"POST","replies":[)" + reply + "]}"));
    QTest::mouseClick(child<QPushButton>("newAlbumButton"), Qt::LeftButton);
    QWidget *dialog = child<QWidget>("newAlbumDialog");
    QPushButton *ok = dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok);
    for (const char *refused : { "", "Trips" }) { // a name listed already is refused: one album per click
        dialog->findChild<QLineEdit *>("albumName")->setText(refused);
        QVERIFY(!ok->isEnabled() && !dialog->findChild<QLabel *>("albumRefusal")->text().isEmpty());
    }
    dialog->findChild<QLineEdit *>("albumName")->setText(name);
    dialog->findChild<QComboBox *>("albumAudience")->setCurrentText("Only me");
    QSignalSpy loaded(m_window.get(), &HostWindow::accountLoaded);
    QTest::mouseClick(ok, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->statusBar()->currentMessage().startsWith(status), 30000);
    QCOMPARE(loaded.count(), status.contains("not created") ? 0 : 1); // listed again when it may exist
    QCOMPARE(child<QListWidget>("albums")->currentItem()->data(Qt::UserRole + 1).toString(), QStringLiteral("Lakes"));
    const QJsonObject made = m_sandbox->get("/__sandbox/albums").json().array().last().toObject(); // the only one made
    QCOMPARE(made.value("name").toString() + made.value("privacy").toString(), QStringLiteral("LakesSELF"));
}

// The user closes the batch's login window: every photo ends not published,
// and nobody is asked again photo by photo.
void tst_HostWindow::batchAsksForOneLogin()
{
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200); // the login session is gone
    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    // The account answers; the photos need a login for photo_upload.
    PreferencesFile::storeToken(QString::fromUtf8(m_sandbox->token("user_photos")));
    child<QListWidget>("albums")->clearSelection(); // the reset took the albums made before
    QTreeWidget *photos = child<QTreeWidget>("photos");
    photos->clear();
    QStringList files;
    for (int i = 0; i < 5; ++i) {
        files << m_photos.filePath(QStringLiteral("login%1.png").arg(i));
        QVERIFY(SamplePhotos::writeImage(files.last(), SamplePhotos::twoColours({ 50 + i, 50 }), "png"));
    }
    m_window->addPhotos(files);
    const auto loginWindow = [this]() -> QWidget * {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w != m_window.get() && w->isVisible() && !qobject_cast<QMessageBox *>(w))
                return w;
        return nullptr;
    };
    QSignalSpy finished(m_window.get(), &HostWindow::uploadsFinished);
    QTest::mouseClick(child<QPushButton>("uploadButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(loginWindow(), 30000);
    loginWindow()->close();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, 30000); // it may end as the login window closes
    for (int i = 0; i < 5; ++i)
        QVERIFY2(photos->topLevelItem(i)->text(2).startsWith("Not published"), qPrintable(photos->topLevelItem(i)->text(2)));
    QVERIFY(photos->topLevelItem(4)->text(2).contains("not sent: the login was canceled"));
    QVERIFY(photos->topLevelItem(4)->toolTip(2).contains("not sent: the login was canceled")); // however narrow the column
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
}

void tst_HostWindow::shares_data()
{
    QTest::addColumn<bool>("approve");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("posts");
    QTest::newRow("shared") << true << "Shared on the timeline" << 1;
    // The dialog reports only a post: the window tells when it was closed.
    QTest::newRow("dialog-closed") << false << "The feed dialog was closed without sharing." << 0;
}

void tst_HostWindow::shares()
{
    QFETCH(bool, approve);
    QFETCH(QString, status);
    QFETCH(int, posts);
    QCOMPARE(m_sandbox->post("/__sandbox/reset").status, 200);
    QVERIFY(m_sandbox->setSwitch(approve ? "auto_approve=1" : "auto_approve=0"));
    m_window->statusBar()->clearMessage();
    QTest::mouseClick(child<QPushButton>("shareButton"), Qt::LeftButton);
    if (!approve) {
        QWidget *dialog = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = [this]() -> QWidget * {
                                     for (QWidget *w : QApplication::topLevelWidgets())
                                         if (w != m_window.get() && w->isVisible())
                                             return w;
                                     return nullptr;
                                 }()),
                                 30000);
        dialog->close();
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_window->statusBar()->currentMessage(), status, 30000);
    QCOMPARE(m_sandbox->counters().value("posts").toInt(), posts);
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
}

// Log out forgets the session in the running engine too: the next Log in
// asks for the password again instead of "Continue as ...".
void tst_HostWindow::logOutShowsTheLoginPageNext()
{
    QSignalSpy loaded(m_window.get(), &HostWindow::accountLoaded);
    m_window->loadAccount(); // logs in, and the sandbox starts a session
    QVERIFY(loaded.wait(30000));
    QSignalSpy loggedOut(m_window.get(), &HostWindow::loggedOut);
    QTest::mouseClick(child<QPushButton>("logButton"), Qt::LeftButton);
    QVERIFY(loggedOut.wait(30000));
    QCOMPARE(m_window->statusBar()->currentMessage(), QStringLiteral("Logged out"));

    QVERIFY(m_sandbox->setSwitch("auto_approve=0"));
    const int loginPages = m_sandbox->counters().value("login_pages").toInt();
    QTest::mouseClick(child<QPushButton>("logButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_sandbox->counters().value("login_pages").toInt(), loginPages + 1, 30000);
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w != m_window.get() && w->isVisible())
            w->close();
    QVERIFY(m_sandbox->setSwitch("auto_approve=1"));
}

void tst_HostWindow::cleanupTestCase()
{
    m_window.reset();
}

ORVELLE_TEST_MAIN(tst_HostWindow)
#include "tst_hostwindow.moc"
