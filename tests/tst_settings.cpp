#include "TestMain.h"
#include "settings/Settings.h"

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void locationIsTheHostsPreferencesFile();
};

void tst_Settings::locationIsTheHostsPreferencesFile()
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

ORVELLE_TEST_MAIN(tst_Settings)
#include "tst_settings.moc"
