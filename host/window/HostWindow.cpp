#include "HostWindow.h"

#include "batch/UploadQueue.h"
#include "cli/TerminalProgress.h"
#include "logout/AccountLogout.h"
#include "plugin/PlainText.h"
#include "plugin/PluginHost.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int pictureSide = 64;
constexpr int thumbnailSide = 48;
enum PhotoColumn { NameColumn, ProgressColumn, ResultColumn };

// A profile picture is small; a larger answer is not one.
constexpr qint64 pictureByteLimit = 4 * 1024 * 1024;

} // namespace

HostWindow::HostWindow(PluginHost *host, QWidget *parent)
    : QMainWindow(parent)
    , m_host(host)
    , m_picture(new QLabel)
    , m_name(new QLabel)
    , m_logButton(new QPushButton(tr("Log out")))
    , m_albums(new QListWidget)
    , m_photos(new QTreeWidget)
    , m_message(new QLineEdit)
    , m_uploadButton(new QPushButton(tr("Upload")))
    , m_shareButton(new QPushButton(tr("Share…")))
    , m_feedWatch(this)
    , m_thumbnails(thumbnailSide)
{
    setWindowTitle(tr("Orvelle: publish to %1").arg(host->plugin()->name()));
    setAcceptDrops(true);
    m_picture->setFixedSize(pictureSide, pictureSide);
    m_picture->setObjectName(QStringLiteral("picture"));
    m_name->setObjectName(QStringLiteral("userName"));
    m_name->setTextFormat(Qt::PlainText); // the service's text, never markup
    m_albums->setObjectName(QStringLiteral("albums"));
    m_photos->setObjectName(QStringLiteral("photos"));
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setPlaceholderText(tr("Message posted with each photo"));
    m_logButton->setObjectName(QStringLiteral("logButton"));
    m_uploadButton->setObjectName(QStringLiteral("uploadButton"));
    m_shareButton->setObjectName(QStringLiteral("shareButton"));
    m_photos->setHeaderLabels({ tr("Photo"), tr("Progress"), tr("Result") });
    m_photos->setIconSize(QSize(thumbnailSide, thumbnailSide));
    m_photos->setRootIsDecorated(false);
    m_photos->header()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    connect(&m_thumbnails, &ThumbnailMaker::ready, this, [this](int index, const QImage &thumbnail) {
        if (QTreeWidgetItem *item = m_photos->topLevelItem(index))
            item->setIcon(NameColumn, QIcon(QPixmap::fromImage(thumbnail)));
    });

    auto *header = new QHBoxLayout;
    header->addWidget(m_picture);
    header->addWidget(m_name, 1);
    header->addWidget(m_logButton);

    auto *addButton = new QPushButton(tr("Add Photos…"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(addButton);
    buttons->addWidget(m_message, 1);
    buttons->addWidget(m_uploadButton);
    buttons->addWidget(m_shareButton);

    auto *lists = new QHBoxLayout;
    auto *albumColumn = new QVBoxLayout;
    albumColumn->addWidget(new QLabel(tr("Album")));
    albumColumn->addWidget(m_albums);
    auto *photoColumn = new QVBoxLayout;
    photoColumn->addWidget(new QLabel(tr("Photos (drop them here)")));
    photoColumn->addWidget(m_photos);
    lists->addLayout(albumColumn, 1);
    lists->addLayout(photoColumn, 2);

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addLayout(header);
    layout->addLayout(lists, 1);
    layout->addLayout(buttons);
    setCentralWidget(central);
    resize(760, 480);

    connect(addButton, &QPushButton::clicked, this, &HostWindow::choosePhotos);
    connect(m_uploadButton, &QPushButton::clicked, this, &HostWindow::upload);
    connect(m_shareButton, &QPushButton::clicked, this, &HostWindow::share);
    connect(m_logButton, &QPushButton::clicked, this, [this] { m_loggedIn ? logOut() : loadAccount(); });
    connect(&m_feedWatch, &DialogCloseWatch::closed, this,
            [this] { statusBar()->showMessage(tr("The feed dialog was closed without sharing.")); });
    setLoggedOut();
}

HostWindow::~HostWindow() = default;

void HostWindow::loadAccount()
{
    m_name->setText(tr("Logging in…"));
    m_logButton->setEnabled(false);
    m_accountTask.reset(m_host->plugin()->newUserNameTask(
        [this](const QString &name) {
            m_loggedIn = true;
            m_name->setText(name);
            m_logButton->setText(tr("Log out"));
            m_logButton->setEnabled(true);
            // Not from inside the task's callback: the task is replaced.
            QTimer::singleShot(0, this, [this] {
                m_accountTask.reset(m_host->plugin()->newUserProfilePictureTask(
                    QSize(pictureSide, pictureSide), [this](const QUrl &url) { loadPicture(url); },
                    [this](const QString &error) { showError(error); }));
            });
        },
        [this](const QString &error) {
            setLoggedOut();
            showError(error);
        }));
}

void HostWindow::loadPicture(const QUrl &url)
{
    // The address comes from the service: only the web, never a local file.
    if (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")) {
        m_picture->setPixmap(QPixmap());
        loadAlbums();
        return;
    }
    QNetworkReply *reply = m_host->manager()->get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > pictureByteLimit)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const QImage image = reply->error() == QNetworkReply::NoError ? QImage::fromData(reply->readAll()) : QImage();
        m_picture->setPixmap(QPixmap::fromImage(image.scaled(pictureSide, pictureSide, Qt::KeepAspectRatio,
                                                             Qt::SmoothTransformation)));
        loadAlbums();
    });
}

void HostWindow::loadAlbums()
{
    m_accountTask.reset(m_host->plugin()->newUserAlbumsTask(
        [this](const IPhotoUpload::Albums &albums) {
            m_albums->clear();
            for (const auto &album : albums) {
                auto *item = new QListWidgetItem(album.first, m_albums);
                if (!album.second) {
                    item->setFlags(Qt::NoItemFlags); // shown, but photos cannot go there
                    item->setToolTip(tr("This album takes no uploads."));
                }
            }
            statusBar()->showMessage(tr("%n album(s)", nullptr, albums.size()));
            emit accountLoaded();
        },
        [this](const QString &error) { showError(error); }));
}

void HostWindow::addPhotos(const QStringList &files)
{
    for (const QString &file : files) {
        auto *item = new QTreeWidgetItem(m_photos, { QFileInfo(file).fileName() });
        item->setData(NameColumn, Qt::UserRole, file);
        item->setToolTip(NameColumn, file);
        m_thumbnails.request(m_photos->indexOfTopLevelItem(item), file);
        auto *bar = new QProgressBar;
        bar->setRange(0, 100);
        bar->setValue(0);
        m_photos->setItemWidget(item, ProgressColumn, bar);
    }
}

void HostWindow::choosePhotos()
{
    const QStringList files = QFileDialog::getOpenFileNames(
        this, tr("Add Photos"), QString(), tr("Images (*.jpg *.jpeg *.png *.gif *.tif *.tiff *.bmp *.webp);;All files (*)"));
    addPhotos(files);
}

void HostWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void HostWindow::dropEvent(QDropEvent *event)
{
    QStringList files;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            files << url.toLocalFile();
    }
    addPhotos(files);
    event->acceptProposedAction();
}

void HostWindow::upload()
{
    QStringList files;
    for (int i = 0; i < m_photos->topLevelItemCount(); ++i)
        files << m_photos->topLevelItem(i)->data(NameColumn, Qt::UserRole).toString();
    if (files.isEmpty()) {
        statusBar()->showMessage(tr("Add photos first."));
        return;
    }
    const QList<QListWidgetItem *> selected = m_albums->selectedItems();
    const QString album = selected.isEmpty() ? QString() : selected.first()->text();
    m_uploadButton->setEnabled(false);
    m_uploads = std::make_unique<UploadQueue>(m_host->plugin(), m_host->manager(), UploadQueue::maxParallel);
    const auto bar = [this](int index) {
        return qobject_cast<QProgressBar *>(m_photos->itemWidget(m_photos->topLevelItem(index), ProgressColumn));
    };
    connect(m_uploads.get(), &UploadQueue::progress, this, [this, bar](int index, qint64 sent, qint64 total) {
        bar(index)->setValue(int(sent * 100 / total));
        const UploadQueue::Totals batch = m_uploads->totals();
        statusBar()->showMessage(tr("Uploading: %1 of %2 photos done, %3 of %4")
                                     .arg(batch.done)
                                     .arg(batch.total)
                                     .arg(TerminalProgress::bytesText(batch.sent), TerminalProgress::bytesText(batch.expected)));
    });
    connect(m_uploads.get(), &UploadQueue::photoFinished, this, [this, bar](int index, const UploadQueue::Result &result) {
        QTreeWidgetItem *item = m_photos->topLevelItem(index);
        item->setText(ResultColumn, result.ok ? tr("Uploaded (%1)").arg(result.detail) : result.detail);
        item->setToolTip(ResultColumn, item->text(ResultColumn));
        item->setForeground(ResultColumn, result.ok ? palette().text() : QBrush(Qt::red));
        if (result.ok)
            bar(index)->setValue(100);
    });
    connect(m_uploads.get(), &UploadQueue::finished, this, [this] {
        const int total = m_uploads->results().size();
        statusBar()->showMessage(tr("%1 of %2 photos uploaded").arg(total - m_uploads->failures()).arg(total));
        m_uploadButton->setEnabled(true);
        emit uploadsFinished();
    });
    m_uploads->start(files, album, m_message->text());
}

void HostWindow::share()
{
    m_feedWatch.start();
    m_host->plugin()->tellFriends({ { "name", QStringLiteral("Orvelle") },
                                    { "caption", m_message->text().isEmpty() ? tr("Made with Orvelle") : m_message->text() },
                                    { "description", tr("Photos from my desktop, shared with Orvelle.") } },
                                  [this] {
                                      m_feedWatch.stop();
                                      statusBar()->showMessage(tr("Shared on the timeline"));
                                  });
}

void HostWindow::logOut()
{
    m_accountTask.reset();
    m_logButton->setEnabled(false);
    auto *logout = new AccountLogout(m_host->manager()->cookieJar(), AccountLogout::serviceOrigins(),
                                     AccountLogout::WebEngine::Running, this);
    connect(logout, &AccountLogout::finished, this, [this, logout](bool ok, const QString &error) {
        logout->deleteLater();
        setLoggedOut();
        if (ok)
            statusBar()->showMessage(tr("Logged out"));
        else
            showError(error);
        emit loggedOut();
    });
    logout->start();
}

void HostWindow::setLoggedOut()
{
    m_loggedIn = false;
    m_name->setText(tr("Not logged in"));
    m_picture->setPixmap(QPixmap());
    m_albums->clear();
    m_logButton->setText(tr("Log in"));
    m_logButton->setEnabled(true);
}

void HostWindow::showError(const QString &text)
{
    statusBar()->showMessage(plainText(text));
}
