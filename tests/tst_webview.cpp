#include "SandboxProcess.h"
#include "TestMain.h"
#include "webview/BrowserWindow.h"
#include "webview/VlWebView.h"

#include <QScopeGuard>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QWindow>

namespace {

// Counts close events on the view; may swallow them.
class CloseWatcher : public QObject
{
public:
    explicit CloseWatcher(bool swallow)
        : m_swallow(swallow)
    {
    }
    int closes = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Close)
            return false;
        ++closes;
        if (m_swallow)
            event->ignore();
        return m_swallow;
    }

private:
    bool m_swallow;
};

BrowserWindow *onlyWindow()
{
    BrowserWindow *found = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<BrowserWindow *>(widget)) {
            if (window->isVisible() || !found)
                found = window;
        }
    }
    return found;
}

} // namespace

// The browser window with the real web engine, offscreen, on sandbox pages.
class tst_VlWebView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void signalsOnAPage();
    void redirectWithFragment();
    void failedLoadIsReported();
    void showsWhereItIs();
    void closeProtocol_data();
    void closeProtocol();
    void closeFromInsideSignal();

private:
    std::unique_ptr<SandboxProcess> m_sandbox;
};

void tst_VlWebView::initTestCase()
{
    m_sandbox = std::make_unique<SandboxProcess>(QStringList { "--auto-approve" });
    QVERIFY(m_sandbox->start());
}

void tst_VlWebView::cleanup()
{
    // Windows are torn down from the event loop.
    QTRY_VERIFY(!onlyWindow());
}

void tst_VlWebView::signalsOnAPage()
{
    QPointer<VlWebView> view = new VlWebView;
    QVERIFY(view->url().isEmpty());
    QVERIFY(view->isHidden());
    QSignalSpy urls(view.data(), &VlWebView::urlHasChanged);
    QSignalSpy finished(view.data(), &VlWebView::loadHasFinished);
    const QUrl page(QString::fromUtf8(m_sandbox->origin() + "/connect/login_success.html"));
    view->load(page);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toBool(), true);
    QVERIFY(urls.count() >= 2);
    QVERIFY(urls.contains(QVariantList { page }));
    QCOMPARE(view->url(), page);
    QVERIFY(view->isHidden()); // loading does not show it
    view->show();
    QVERIFY(!view->isHidden());
    view->close();
    QVERIFY(view.isNull());
}

void tst_VlWebView::redirectWithFragment()
{
    QPointer<VlWebView> view = new VlWebView;
    QSignalSpy urls(view.data(), &VlWebView::urlHasChanged);
    const QByteArray redirect = m_sandbox->origin() + "/connect/login_success.html";
    view->load(QUrl(QString::fromUtf8(m_sandbox->origin() + "/dialog/oauth?client_id=154093124663728&redirect_uri="
                                      + redirect + "&scope=user_photos&response_type=token")));
    QTRY_VERIFY_WITH_TIMEOUT(
        std::any_of(urls.cbegin(), urls.cend(),
                    [](const QVariantList &args) { return args.first().toUrl().fragment().startsWith("access_token=EAAS"); }),
        20000);
    view->close();
}

void tst_VlWebView::failedLoadIsReported()
{
    QPointer<VlWebView> view = new VlWebView;
    QSignalSpy urls(view.data(), &VlWebView::urlHasChanged);
    QSignalSpy finished(view.data(), &VlWebView::loadHasFinished);
    const QUrl unreachable("http://127.0.0.1:1/connect/login_success.html#access_token=x");
    view->load(unreachable);
    QVERIFY(finished.wait(20000));
    QCOMPARE(finished.first().first().toBool(), true);
    QVERIFY(urls.contains(QVariantList { unreachable }));
    view->close();
}

// The title names the site and says the connection is not secure (the
// sandbox speaks http); a page cannot take the window off the web.
void tst_VlWebView::showsWhereItIs()
{
    QPointer<VlWebView> view = new VlWebView;
    const auto closeView = qScopeGuard([&view] {
        if (view)
            view->close();
    });
    QSignalSpy finished(view.data(), &VlWebView::loadHasFinished);
    const QUrl page(QString::fromUtf8(m_sandbox->origin() + "/connect/login_success.html"));
    view->load(page);
    QVERIFY(finished.wait(20000));
    view->show();
    QCOMPARE(onlyWindow()->windowTitle(), page.authority() + QStringLiteral(" — not secure"));
    QSignalSpy urls(view.data(), &VlWebView::urlHasChanged);
    const QUrl data("data:text/html,<form>password</form>");
    finished.clear();
    view->load(data);
    QVERIFY(finished.wait(20000)); // every load ends, a refused one too
    QVERIFY(!urls.contains(QVariantList { data }));
    QCOMPARE(view->url(), page);
}

void tst_VlWebView::closeProtocol_data()
{
    QTest::addColumn<bool>("byWindow"); // the title bar instead of close()
    QTest::addColumn<bool>("swallow");
    QTest::newRow("close") << false << false;
    QTest::newRow("title-bar") << true << false;
    QTest::newRow("close-swallowed") << false << true;
    QTest::newRow("title-bar-swallowed") << true << true;
}

void tst_VlWebView::closeProtocol()
{
    QFETCH(bool, byWindow);
    QFETCH(bool, swallow);
    QPointer<VlWebView> view = new VlWebView;
    CloseWatcher watcher(swallow);
    view->installEventFilter(&watcher);
    view->load(QUrl(QString::fromUtf8(m_sandbox->origin() + "/connect/login_success.html")));
    view->show();
    BrowserWindow *window = onlyWindow();
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->size(), QSize(800, 600));
    if (byWindow)
        window->windowHandle()->close();
    else
        view->close();
    QVERIFY(view.isNull()); // gone before close returned
    QCOMPARE(watcher.closes, 1);
    QVERIFY(!window->isVisible());
}

void tst_VlWebView::closeFromInsideSignal()
{
    QPointer<VlWebView> view = new VlWebView;
    int calls = 0;
    connect(view.data(), &VlWebView::urlHasChanged, this, [&view, &calls] {
        ++calls;
        view->close();
    });
    view->load(QUrl(QString::fromUtf8(m_sandbox->origin() + "/connect/login_success.html")));
    QTRY_VERIFY_WITH_TIMEOUT(view.isNull(), 20000);
    QCOMPARE(calls, 1);
}

ORVELLE_TEST_MAIN(tst_VlWebView)
#include "tst_webview.moc"
