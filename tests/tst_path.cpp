#include "FacebookPluginQt5/Path.h"
#include "TestMain.h"
#include "settings/Settings.h"

#include <QTemporaryDir>

class tst_Path : public QObject
{
    Q_OBJECT

private slots:
    void toFilepath2x_data();
    void toFilepath2x();
    void filepathForLevel_data();
    void filepathForLevel();
    void settingsAreTheHostsPreferencesFile();
};

void tst_Path::toFilepath2x_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("resource") << ":/facebook16.png" << ":/facebook16@2x.png";
    QTest::newRow("already-2x") << "/a/b@2x.png" << "/a/b@2x.png";
    QTest::newRow("no-extension") << "/a/b" << "/a/b@2x";
    QTest::newRow("last-dot-counts") << "b.tar.gz" << "b.tar@2x.gz";
    QTest::newRow("2x-is-case-sensitive") << "b@2X.png" << "b@2X@2x.png";
}

void tst_Path::toFilepath2x()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(Path::toFilepath2x(path), expected);
}

void tst_Path::filepathForLevel_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("checkExists");
    QTest::addColumn<bool>("variantExists");
    QTest::addColumn<bool>("expectVariant");
    QTest::newRow("level-1") << "x.png" << 1 << true << true << false;
    QTest::newRow("level-2") << "x.png" << 2 << true << true << true;
    QTest::newRow("level-3-unchecked") << "x.png" << 3 << false << false << true;
    QTest::newRow("level-2-missing-falls-back") << "x.png" << 2 << true << false << false;
}

void tst_Path::filepathForLevel()
{
    QFETCH(QString, file);
    QFETCH(int, level);
    QFETCH(bool, checkExists);
    QFETCH(bool, variantExists);
    QFETCH(bool, expectVariant);
    QTemporaryDir dir;
    const QString path = dir.filePath(file);
    if (variantExists) {
        QFile variant(Path::toFilepath2x(path));
        QVERIFY(variant.open(QIODevice::WriteOnly));
    }
    QCOMPARE(Path::filepathForLevel(path, level, checkExists),
             expectVariant ? Path::toFilepath2x(path) : path);
}

void tst_Path::settingsAreTheHostsPreferencesFile()
{
    const QString home = QDir::homePath();
    QVERIFY(home.contains(QLatin1String("orvelle-test"))); // never a real user's file
    QCOMPARE(Settings::directory(), home + "/Library/Preferences");
    QCOMPARE(Settings::filepath(), home + "/Library/Preferences/com.velotri.Orvelle.plist");
    QCOMPARE(Settings::format(), QSettings::NativeFormat);
    // The path is cached: a later change of home does not move the file.
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", "/elsewhere");
    QCOMPARE(Settings::directory(), QStringLiteral("/elsewhere/Library/Preferences"));
    QCOMPARE(Settings::filepath(), home + "/Library/Preferences/com.velotri.Orvelle.plist");
    qputenv("HOME", oldHome);
}

ORVELLE_TEST_MAIN(tst_Path)
#include "tst_path.moc"
