#include "HostHarness.h"
#include "TestMain.h"

#include <QJsonArray>
#include <QLibrary>
#include <QMetaMethod>

using Build = HostHarness::Build;
Q_DECLARE_METATYPE(HostHarness::Build)

// Loads the built libraries the way Orvelle does and looks at them only
// through what a host can see.
class tst_PluginLoading : public QObject
{
    Q_OBJECT

private slots:
    void metaData_data();
    void metaData();
    void onlyEntryPointsExported_data();
    void onlyEntryPointsExported();
    void castAndMetaObject();
    void identity_data();
    void identity();
    void pictures_data();
    void pictures();
    void icons();

private:
    HostHarness m_host { Build::Sandbox };
};

static void addBuildRows()
{
    QTest::addColumn<Build>("build");
    QTest::newRow("production") << Build::Production;
    QTest::newRow("sandbox") << Build::Sandbox;
}

void tst_PluginLoading::metaData_data()
{
    addBuildRows();
}

void tst_PluginLoading::metaData()
{
    QFETCH(Build, build);
    QPluginLoader loader(HostHarness::libraryPath(build));
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value("IID").toString(), QStringLiteral("com.velotri.Orvelle.IPhotoUpload"));
    QCOMPARE(meta.value("className").toString(), QStringLiteral("FacebookPlugin"));
    QVERIFY(meta.value("MetaData").isObject() || meta.value("MetaData").isUndefined());
    QVERIFY(meta.value("MetaData").toObject().isEmpty());
#ifdef QT_NO_DEBUG
    QCOMPARE(meta.value("debug").toBool(), false);
#else
    QCOMPARE(meta.value("debug").toBool(), true);
#endif
#if QT_VERSION_MAJOR < 6
    QVERIFY(meta.contains("archreq")); // Qt 6 keeps no such key
#endif
    // "version" is the Qt version the plug-in was built with.
    QCOMPARE(meta.value("version").toInt(), (QT_VERSION_MAJOR << 16) | (QT_VERSION_MINOR << 8));
}

void tst_PluginLoading::onlyEntryPointsExported_data()
{
    addBuildRows();
}

void tst_PluginLoading::onlyEntryPointsExported()
{
    QFETCH(Build, build);
    QLibrary library(HostHarness::libraryPath(build));
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    auto instance = reinterpret_cast<QObject *(*)()>(library.resolve("qt_plugin_instance"));
    QVERIFY(instance);
#if QT_VERSION_MAJOR < 6
    QVERIFY(library.resolve("qt_plugin_query_metadata"));
#else
    QVERIFY(library.resolve("qt_plugin_query_metadata_v2")); // Qt 6's binary metadata
#endif
    // Same object on every call while it lives.
    QCOMPARE(instance(), instance());
    // The plug-in's own classes stay private to it.
    QVERIFY(!library.resolve("_ZN14FacebookPlugin16submitGetRequestE7QString"));
    QVERIFY(!library.resolve("_ZN7Network9ReplyTask6submitEv"));
    QVERIFY(!library.resolve("_ZN8Settings8filepathEv"));
}

void tst_PluginLoading::castAndMetaObject()
{
    QVERIFY2(m_host.load(), qPrintable(m_host.errorString()));
    QObject *object = m_host.instance();
    IPhotoUpload *plugin = m_host.plugin();
    QVERIFY(plugin);
    QCOMPARE(object->qt_metacast("FacebookPlugin"), static_cast<void *>(object));
    QCOMPARE(object->qt_metacast("IPhotoUpload"), static_cast<void *>(plugin));
    QCOMPARE(object->qt_metacast("com.velotri.Orvelle.IPhotoUpload/1.0"), static_cast<void *>(plugin));
    QCOMPARE(object->qt_metacast("QObject"), static_cast<void *>(object));
    QVERIFY(!object->qt_metacast("VlWebView"));

    const QMetaObject *meta = object->metaObject();
    QCOMPARE(meta->className(), "FacebookPlugin");
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 4);
    const int first = meta->methodOffset();
    const QList<QPair<QByteArray, QMetaMethod::MethodType>> expected = {
        { "authFinished(char)", QMetaMethod::Signal },
        { "shouldFinishAuth(QUrl)", QMetaMethod::Slot },
        { "shouldFinishTellFriends(QUrl)", QMetaMethod::Slot },
        { "onLoadPageFinished(bool)", QMetaMethod::Slot },
    };
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta->method(first + i);
        QCOMPARE(method.methodSignature(), expected[i].first);
        QCOMPARE(method.methodType(), expected[i].second);
    }
    QCOMPARE(meta->method(first + 1).access(), QMetaMethod::Private);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
}

void tst_PluginLoading::identity_data()
{
    addBuildRows();
}

void tst_PluginLoading::identity()
{
    QFETCH(Build, build);
    HostHarness host(build);
    QVERIFY2(host.load(), qPrintable(host.errorString()));
    IPhotoUpload *plugin = host.plugin();
    QCOMPARE(plugin->name(), QStringLiteral("Facebook"));
    QCOMPARE(plugin->supportedMimes(),
             QStringList({ "image/jpeg", "image/png", "image/gif" }));
    QCOMPARE(plugin->supportedMaxSize(), QSize(2048, 2048));
}

void tst_PluginLoading::pictures_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<qreal>("scale");
    QTest::addColumn<QSize>("expected"); // invalid: a null image and a message
    QTest::newRow("16@1") << QSize(16, 16) << 1.0 << QSize(16, 16);
    QTest::newRow("16@2") << QSize(16, 16) << 2.0 << QSize(32, 32);
    QTest::newRow("24@1.5") << QSize(24, 24) << 1.5 << QSize(48, 48);
    QTest::newRow("24@1") << QSize(24, 24) << 1.0 << QSize(24, 24);
    QTest::newRow("24@0.5") << QSize(24, 24) << 0.5 << QSize(24, 24);
    QTest::newRow("24@nan") << QSize(24, 24) << qQNaN() << QSize(24, 24);
    QTest::newRow("32") << QSize(32, 32) << 1.0 << QSize();
    QTest::newRow("16x24") << QSize(16, 24) << 1.0 << QSize();
    QTest::newRow("24x16") << QSize(24, 16) << 2.0 << QSize();
}

void tst_PluginLoading::pictures()
{
    QFETCH(QSize, size);
    QFETCH(qreal, scale);
    QFETCH(QSize, expected);
    QVERIFY2(m_host.load(), qPrintable(m_host.errorString()));
    if (!expected.isValid()) {
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("Unimplemented picture size QSize(%1, %2)")
                                            .arg(size.width()).arg(size.height())));
    }
    const QImage image = m_host.plugin()->picture(size, scale);
    QCOMPARE(image.isNull(), !expected.isValid());
    if (expected.isValid()) {
        QCOMPARE(image.size(), expected);
        QVERIFY(image.hasAlphaChannel());
        // A real drawing, not a blank: the centre is opaque, a corner clear.
        QCOMPARE(qAlpha(image.pixel(expected.width() / 2, expected.height() / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    }
}

void tst_PluginLoading::icons()
{
    QVERIFY2(m_host.load(), qPrintable(m_host.errorString()));
    const IPhotoUpload::Icon icon = m_host.plugin()->icon(QSize(24, 24));
    QCOMPARE(icon[0].size(), QSize(24, 24));
    QCOMPARE(icon[1].size(), QSize(48, 48));
    QTest::ignoreMessage(QtDebugMsg, "Unimplemented picture size QSize(20, 20)");
    QTest::ignoreMessage(QtDebugMsg, "Unimplemented picture size QSize(20, 20)");
    const IPhotoUpload::Icon none = m_host.plugin()->icon(QSize(20, 20));
    QVERIFY(none[0].isNull() && none[1].isNull());
}

ORVELLE_TEST_MAIN(tst_PluginLoading)
#include "tst_pluginloading.moc"
