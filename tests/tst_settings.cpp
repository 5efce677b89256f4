#include "TestMain.h"
#include "settings/Settings.h"

class tst_Settings : public QObject
{
    Q_OBJECT

private slots:
    void locationIsTheHostsPreferencesFile();
    void missingTokenReadsEmpty();
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

void tst_Settings::missingTokenReadsEmpty()
{
    QFile::remove(Settings::filepath());
    {
        QSettings settings(Settings::filepath(), Settings::format());
        QCOMPARE(settings.value("fbtoken", QVariant()).toString(), QString());
        QCOMPARE(settings.status(), QSettings::NoError);
        settings.setValue("hostKey", 7);
    }
    {
        // The host's own keys are there; still no token.
        QSettings settings(Settings::filepath(), Settings::format());
        QCOMPARE(settings.value("hostKey").toInt(), 7);
        QCOMPARE(settings.value("fbtoken", QVariant()).toString(), QString());
    }
    QVERIFY(QFile::exists(Settings::filepath()));
}

ORVELLE_TEST_MAIN(tst_Settings)
#include "tst_settings.moc"
