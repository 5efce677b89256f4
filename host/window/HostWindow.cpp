#include "HostWindow.h"

#include "ProgressDelegate.h"
#include "batch/UploadRecord.h"
#include "cli/TerminalProgress.h"
#include "plugin/AlbumNames.h"
#include "plugin/PlainText.h"
#include "plugin/PluginHost.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QNetworkReply>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

constexpr int pictureSide = 64;
constexpr int thumbnailSide = 48;
enum PhotoColumn { NameColumn, ProgressColumn, ResultColumn, CaptionColumn };
constexpr int pathRole = Qt::UserRole;
constexpr int idRole = Qt::UserRole + 2;
constexpr int outcomeRole = Qt::UserRole + 3; // an UploadQueue::Outcome, once the row has one
// Of the caption's cell: true once it holds the photo's words, read from the
// file or written by the user; until then the batch reads them itself.
constexpr int captionKnownRole = Qt::UserRole + 4;
constexpr int albumIdRole = Qt::UserRole; // of an album's item
constexpr int albumNameRole = Qt::UserRole + 1; // its name alone: the item's text says more

bool isSent(const QTreeWidgetItem *row)
{
    const QVariant outcome = row->data(ResultColumn, outcomeRole);
    return outcome.isValid()
        && (UploadQueue::Outcome(outcome.toInt()) == UploadQueue::Outcome::Uploaded
            || UploadQueue::Outcome(outcome.toInt()) == UploadQueue::Outcome::Skipped);
}

// A tooltip is rich text when it looks like markup: the service's texts are
// shown as they are.
QString plainToolTip(const QString &text)
{
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

// A profile picture is small; a larger answer is not one.
constexpr qint64 pictureByteLimit = 4 * 1024 * 1024;

// Narrowest first, so that "Only me" is always right below the choice that
// leaves it to the service.
const std::pair<const char *, const char *> audienceChoices[] = {
    { "only-me", QT_TRANSLATE_NOOP("HostWindow", "Only me") },
    { "friends", QT_TRANSLATE_NOOP("HostWindow", "Friends") },
    { "friends-of-friends", QT_TRANSLATE_NOOP("HostWindow", "Friends of friends") },
    { "everyone", QT_TRANSLATE_NOOP("HostWindow", "Everyone") },
};

QComboBox *audienceBox(const QString &unchosen)
{
    auto *box = new QComboBox;
    box->addItem(unchosen, QString());
    for (const auto &choice : audienceChoices)
        box->addItem(HostWindow::tr(choice.second), QString::fromLatin1(choice.first));
    return box;
}

QString photoCountText(int count)
{
    return count == 1 ? HostWindow::tr("1 photo") : HostWindow::tr("%1 photos").arg(count);
}

// Names repeat: what tells an album from another of its name is what the
// service says of it beside, as far as it says it.
QString albumLine(const Publishing::Album &album)
{
    QString line = album.name;
    const QString description = album.details.value(QStringLiteral("description")).toString().simplified();
    if (!description.isEmpty())
        line += QStringLiteral(" — ") + description;
    QStringList facts;
    const QVariant count = album.details.value(QStringLiteral("count"));
    if (count.isValid())
        facts << photoCountText(count.toInt());
    const QString audience = album.details.value(QStringLiteral("audience")).toString();
    if (!audience.isEmpty())
        facts << AlbumNames::audienceText(audience);
    return facts.isEmpty() ? line : line + QStringLiteral(" · ") + facts.join(QStringLiteral(" · "));
}

QString asSentence(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

// A caption the user wrote is theirs from then on: the file's, read later,
// does not replace it. Opening the editor and changing nothing leaves the
// caption to the file.
class CaptionDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override
    {
        const QVariant before = index.data(Qt::EditRole);
        QStyledItemDelegate::setModelData(editor, model, index);
        if (index.data(Qt::EditRole) != before)
            model->setData(index, true, captionKnownRole);
    }
};

} // namespace

HostWindow::HostWindow(PluginHost *host, QWidget *parent)
    : QMainWindow(parent)
    , m_host(host)
    , m_picture(new QLabel)
    , m_name(new QLabel)
    , m_logButton(new QPushButton(tr("Log out")))
    , m_albums(new QListWidget)
    , m_newAlbumButton(new QPushButton(tr("New Album…")))
    , m_audience(audienceBox(tr("Album's audience")))
    , m_photos(new QTreeWidget)
    , m_message(new QLineEdit)
    , m_uploadButton(new QPushButton(tr("Upload")))
    , m_removeButton(new QPushButton(tr("Remove")))
    , m_shareButton(new QPushButton(tr("Share…")))
    , m_batch(host, UploadQueue::maxParallel)
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
    m_newAlbumButton->setObjectName(QStringLiteral("newAlbumButton"));
    m_audience->setObjectName(QStringLiteral("audienceBox"));
    m_audience->setToolTip(tr("Who may see the photos sent; never more than their album's audience"));
    m_photos->setObjectName(QStringLiteral("photos"));
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setPlaceholderText(tr("Message for every photo (empty: each photo's caption)"));
    m_logButton->setObjectName(QStringLiteral("logButton"));
    m_uploadButton->setObjectName(QStringLiteral("uploadButton"));
    m_shareButton->setObjectName(QStringLiteral("shareButton"));
    m_removeButton->setObjectName(QStringLiteral("removeButton"));
    m_removeButton->setToolTip(tr("Remove the selected photos from the list (Delete)"));
    m_photos->setHeaderLabels({ tr("Photo"), tr("Progress"), tr("Result"), tr("Caption") });
    m_photos->header()->moveSection(CaptionColumn, NameColumn + 1); // beside the photo it goes with
    m_photos->headerItem()->setToolTip(CaptionColumn, tr("Posted with the photo: its own description until you "
                                                         "edit it (double-click or F2)"));
    m_photos->setIconSize(QSize(thumbnailSide, thumbnailSide));
    m_photos->setRootIsDecorated(false);
    m_photos->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_photos->setItemDelegateForColumn(ProgressColumn, new ProgressDelegate(m_photos));
    m_photos->setItemDelegateForColumn(CaptionColumn, new CaptionDelegate(m_photos));
    m_photos->setEditTriggers(QAbstractItemView::NoEditTriggers); // the caption alone, below
    m_photos->header()->setSectionResizeMode(NameColumn, QHeaderView::Stretch);
    m_photos->header()->setSectionResizeMode(CaptionColumn, QHeaderView::Stretch);
    m_photos->header()->setSectionResizeMode(ResultColumn, QHeaderView::Interactive);
    m_photos->header()->setStretchLastSection(true);
    connect(&m_thumbnails, &ThumbnailMaker::ready, this, [this](int id, const QImage &thumbnail, const QString &caption) {
        QTreeWidgetItem *row = rowsWithIds({ id }).value(0);
        if (!row)
            return; // removed meanwhile
        row->setIcon(NameColumn, QIcon(QPixmap::fromImage(thumbnail)));
        if (row->data(CaptionColumn, captionKnownRole).toBool())
            return; // the user's words
        row->setText(CaptionColumn, caption);
        row->setData(CaptionColumn, captionKnownRole, true);
    });
    auto *removeKey = new QShortcut(QKeySequence::Delete, m_photos, nullptr, nullptr, Qt::WidgetShortcut);
    connect(removeKey, &QShortcut::activated, this, &HostWindow::removeSelectedPhotos);
    auto *editKey = new QShortcut(QKeySequence(Qt::Key_F2), m_photos, nullptr, nullptr, Qt::WidgetShortcut);
    connect(editKey, &QShortcut::activated, this, [this] { editCaption(m_photos->currentItem()); });
    connect(m_photos, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *row, int column) {
        if (column == CaptionColumn)
            editCaption(row);
    });

    auto *header = new QHBoxLayout;
    header->addWidget(m_picture);
    header->addWidget(m_name, 1);
    header->addWidget(m_logButton);

    auto *addButton = new QPushButton(tr("Add Photos…"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(addButton);
    buttons->addWidget(m_removeButton);
    buttons->addWidget(m_message, 1);
    buttons->addWidget(m_uploadButton);
    buttons->addWidget(m_shareButton);

    auto *lists = new QHBoxLayout;
    auto *albumColumn = new QVBoxLayout;
    albumColumn->addWidget(new QLabel(tr("Album")));
    albumColumn->addWidget(m_albums);
    albumColumn->addWidget(m_newAlbumButton);
    auto *audienceRow = new QHBoxLayout;
    audienceRow->addWidget(new QLabel(tr("Photos seen by")));
    audienceRow->addWidget(m_audience, 1);
    albumColumn->addLayout(audienceRow);
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
    connect(m_newAlbumButton, &QPushButton::clicked, this, &HostWindow::openNewAlbumDialog);
    connect(m_uploadButton, &QPushButton::clicked, this, &HostWindow::upload);
    connect(m_removeButton, &QPushButton::clicked, this, &HostWindow::removeSelectedPhotos);
    connect(m_shareButton, &QPushButton::clicked, this, &HostWindow::share);
    connect(m_logButton, &QPushButton::clicked, this, [this] { m_loggedIn ? logOut() : loadAccount(); });
    connect(&m_feedWatch, &DialogCloseWatch::closed, this,
            [this] { statusBar()->showMessage(tr("The feed dialog was closed without sharing.")); });
    UploadQueue *queue = m_batch.queue();
    connect(queue, &UploadQueue::progress, this, [this, queue](int index, qint64 sent, qint64 total) {
        m_sending.at(index)->setData(ProgressColumn, ProgressDelegate::valueRole, int(sent * 100 / total));
        const UploadQueue::Totals batch = queue->totals();
        statusBar()->showMessage(tr("Uploading: %1 of %2 photos done, %3 of %4")
                                     .arg(batch.done)
                                     .arg(batch.total)
                                     .arg(TerminalProgress::bytesText(batch.sent), TerminalProgress::bytesText(batch.expected)));
    });
    connect(queue, &UploadQueue::photoFinished, this,
            [this](int index, const UploadQueue::Result &result) { showResult(m_sending.at(index), result); });
    connect(queue, &UploadQueue::recordFailed, this, [this](const QString &error) { showError(error); });
    connect(queue, &UploadQueue::rateLimited, this, [this](int seconds) {
        statusBar()->showMessage(tr("The service limits how fast photos may be sent: waiting %n s", nullptr, seconds));
    });
    connect(&m_batch, &BatchJob::finished, this, &HostWindow::onBatchFinished);
    setLoggedOut();
}

HostWindow::~HostWindow() = default;

void HostWindow::loadAccount()
{
    m_name->setText(tr("Logging in…"));
    m_logButton->setEnabled(false);
    m_accountTask.reset(m_host->publishing()->newAccountTask(
        [this](const Publishing::Account &account) {
            if (account.name.isEmpty() || account.id.isEmpty()) { // a proxy's page: nobody to show
                setLoggedOut();
                return showError(tr("The service did not say which account this is."));
            }
            m_loggedIn = true;
            m_name->setText(account.name);
            m_logButton->setText(tr("Log out"));
            m_logButton->setEnabled(true);
            // Not from inside the task's callback: the task is replaced.
            QTimer::singleShot(0, this, [this] {
                // The albums come next whatever becomes of the picture; not
                // from inside its task's callback, which they replace.
                m_accountTask.reset(m_host->plugin()->newUserProfilePictureTask(
                    QSize(pictureSide, pictureSide),
                    [this](const QUrl &url) { QTimer::singleShot(0, this, [this, url] { loadPicture(url); }); },
                    [this](const QString &error) {
                        showError(error);
                        QTimer::singleShot(0, this, [this] { loadAlbums(); });
                    }));
            });
        },
        [this](const TaskFailure &failure) {
            setLoggedOut();
            showError(m_host->failureText(failure));
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

void HostWindow::loadAlbums(const QString &note)
{
    m_accountTask.reset(m_host->publishing()->newAlbumListTask(
        [this, note](const QList<Publishing::Album> &albums) { showAlbums(albums, note); },
        [this](const TaskFailure &failure) { showError(m_host->failureText(failure)); }));
}

// Every album, those of one name too: each says enough to be told apart,
// and is chosen by its id.
void HostWindow::showAlbums(const QList<Publishing::Album> &albums, const QString &note)
{
    // Listed again, the album chosen stays chosen, unless one was just made.
    QString chosen = std::exchange(m_albumToSelect, QString());
    if (chosen.isEmpty() && m_albums->currentItem())
        chosen = m_albums->currentItem()->data(albumIdRole).toString();
    m_albums->clear();
    m_listed = albums;
    for (const Publishing::Album &album : albums) {
        const QString line = albumLine(album);
        auto *item = new QListWidgetItem(line, m_albums);
        item->setData(albumIdRole, album.id);
        item->setData(albumNameRole, album.name);
        // The whole line, however narrow the list.
        item->setToolTip(plainToolTip(album.canUpload ? line : line + QLatin1Char('\n') + tr("This album takes no uploads.")));
        if (!album.canUpload)
            item->setFlags(Qt::NoItemFlags); // shown, but photos cannot go there
        else if (album.id == chosen)
            m_albums->setCurrentItem(item);
    }
    m_newAlbumButton->setEnabled(m_host->albumPublishing() && !m_albumTask);
    statusBar()->showMessage(note.isEmpty() ? tr("%n album(s)", nullptr, albums.size()) : plainText(note));
    emit accountLoaded();
}

QString HostWindow::newAlbumRefusal(const Publishing::NewAlbum &album) const
{
    const QString refusal = Publishing::albumRefusal(album);
    if (!refusal.isEmpty())
        return asSentence(refusal);
    // The same album asked for twice is one album: the second is refused here.
    if (!AlbumNames::namesakes(m_listed, album.name).isEmpty())
        return tr("An album called \"%1\" is listed already: choose it there, or name the new one otherwise.")
            .arg(album.name.trimmed());
    return QString();
}

void HostWindow::openNewAlbumDialog()
{
    auto *dialog = new QDialog(this);
    dialog->setObjectName(QStringLiteral("newAlbumDialog"));
    dialog->setWindowTitle(tr("New Album"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto *name = new QLineEdit;
    name->setObjectName(QStringLiteral("albumName"));
    auto *description = new QLineEdit;
    description->setObjectName(QStringLiteral("albumDescription"));
    QComboBox *audience = audienceBox(tr("The service's default"));
    audience->setObjectName(QStringLiteral("albumAudience"));
    auto *why = new QLabel;
    why->setObjectName(QStringLiteral("albumRefusal"));
    why->setTextFormat(Qt::PlainText); // an album name is the user's text, never markup
    why->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    auto *form = new QFormLayout(dialog);
    form->addRow(tr("Name"), name);
    form->addRow(tr("Description"), description);
    form->addRow(tr("Seen by"), audience);
    form->addRow(why);
    form->addRow(buttons);

    const auto wanted = [name, description, audience] {
        return Publishing::NewAlbum { name->text().trimmed(), description->text().trimmed(),
                                      audience->currentData().toString() };
    };
    const auto check = [this, wanted, why, buttons] {
        const QString refusal = newAlbumRefusal(wanted());
        why->setText(refusal);
        buttons->button(QDialogButtonBox::Ok)->setEnabled(refusal.isEmpty());
    };
    check();
    connect(name, &QLineEdit::textChanged, dialog, check);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(dialog, &QDialog::accepted, this, [this, wanted] { createAlbum(wanted()); });
    dialog->open();
}

void HostWindow::createAlbum(const Publishing::NewAlbum &album)
{
    IPhotoPublishing2 *publishing = m_host->albumPublishing();
    if (!publishing)
        return showError(tr("This plug-in cannot create albums."));
    const QString refusal = newAlbumRefusal(album); // the list may have changed while the dialog was open
    if (!refusal.isEmpty())
        return showError(refusal);
    m_newAlbumButton->setEnabled(false); // one at a time: a second click would make a second album
    statusBar()->showMessage(tr("Creating the album \"%1\"…").arg(album.name));
    m_albumTask.reset(publishing->newCreateAlbumTask(
        album,
        [this](const Publishing::Album &created) {
            // Not from inside the task's callback: the task goes.
            QTimer::singleShot(0, this, [this, created] {
                m_albumTask.reset();
                m_albumToSelect = created.id;
                loadAlbums(tr("Album \"%1\" created").arg(created.name));
            });
        },
        [this](const TaskFailure &failure) {
            QTimer::singleShot(0, this, [this, failure] { onAlbumNotCreated(failure); });
        }));
}

void HostWindow::onAlbumNotCreated(const TaskFailure &failure)
{
    m_albumTask.reset();
    const QString error = m_host->failureText(failure);
    if (!failure.maybeActedOn) {
        m_newAlbumButton->setEnabled(m_loggedIn);
        return showError(tr("The album was not created: %1").arg(error));
    }
    // Listed, it cannot be asked for twice.
    loadAlbums(tr("The album may have been created all the same (%1): the albums are listed again.").arg(error));
}

void HostWindow::addPhotos(const QStringList &files)
{
    for (const QString &file : files) {
        auto *item = new QTreeWidgetItem(m_photos, { QFileInfo(file).fileName() });
        item->setFlags(item->flags() | Qt::ItemIsEditable); // its caption, by editCaption
        item->setData(NameColumn, pathRole, file);
        item->setData(NameColumn, idRole, m_nextPhotoId);
        item->setData(ProgressColumn, ProgressDelegate::valueRole, 0);
        item->setToolTip(NameColumn, plainToolTip(file));
        m_thumbnails.request(m_nextPhotoId++, file);
    }
}

void HostWindow::editCaption(QTreeWidgetItem *row)
{
    if (row)
        m_photos->editItem(row, CaptionColumn);
}

void HostWindow::removeSelectedPhotos()
{
    if (!m_removeButton->isEnabled())
        return; // a batch reports by row
    qDeleteAll(m_photos->selectedItems());
}

QList<QTreeWidgetItem *> HostWindow::rowsWithIds(const QList<int> &ids) const
{
    QList<QTreeWidgetItem *> rows;
    for (int i = 0; i < m_photos->topLevelItemCount(); ++i) {
        if (ids.contains(m_photos->topLevelItem(i)->data(NameColumn, idRole).toInt()))
            rows << m_photos->topLevelItem(i);
    }
    return rows;
}

// While a batch (or the name it needs) is on its way, its rows stay, it is
// not sent twice, and nobody logs out under it: the record would file its
// photos under the wrong account.
void HostWindow::setBatchRunning(bool running)
{
    m_uploadButton->setEnabled(!running);
    m_removeButton->setEnabled(!running);
    m_logButton->setEnabled(!running);
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
    if (!m_uploadButton->isEnabled())
        return;
    // A second click sends only what is not uploaded yet.
    QList<QTreeWidgetItem *> rows;
    for (int i = 0; i < m_photos->topLevelItemCount(); ++i) {
        if (!isSent(m_photos->topLevelItem(i)))
            rows << m_photos->topLevelItem(i);
    }
    if (rows.isEmpty()) {
        statusBar()->showMessage(m_photos->topLevelItemCount() ? tr("Every photo is uploaded.") : tr("Add photos first."));
        return;
    }
    send(rows, false);
}

void HostWindow::send(const QList<QTreeWidgetItem *> &rows, bool again)
{
    if (m_batch.isRunning())
        return; // its rows are m_sending until it ends
    const QList<QListWidgetItem *> selected = m_albums->selectedItems();
    UploadQueue::Album album;
    if (!selected.isEmpty())
        album = { selected.first()->data(albumIdRole).toString(), selected.first()->data(albumNameRole).toString() };
    setBatchRunning(true);
    m_sending = rows;
    QStringList files;
    for (QTreeWidgetItem *row : rows) {
        files << row->data(NameColumn, pathRole).toString();
        row->setData(ProgressColumn, ProgressDelegate::valueRole, 0);
        row->setText(ResultColumn, QString());
        row->setData(ResultColumn, outcomeRole, QVariant());
    }
    BatchJob::Request request;
    request.files = files;
    request.album = album;
    request.options = photoOptions(rows);
    request.again = again;
    m_batch.start(request);
}

UploadQueue::Options HostWindow::photoOptions(const QList<QTreeWidgetItem *> &rows) const
{
    UploadQueue::Options options;
    options.audience = m_audience->currentData().toString();
    options.message = m_message->text();
    options.messageGiven = !options.message.isEmpty();
    if (options.messageGiven)
        return options; // every photo's, over their captions
    // An emptied caption is no message; a caption not read yet the batch
    // reads itself (options.captions).
    for (const QTreeWidgetItem *row : rows) {
        if (row->data(CaptionColumn, captionKnownRole).toBool())
            options.messages.insert(row->data(NameColumn, pathRole).toString(), row->text(CaptionColumn));
    }
    return options;
}

void HostWindow::onBatchFinished(const QString &error)
{
    setBatchRunning(false);
    const QList<QTreeWidgetItem *> rows = std::exchange(m_sending, {});
    if (!error.isEmpty()) {
        // Ended before anything was sent: every row says so.
        for (QTreeWidgetItem *row : rows)
            showResult(row, { QString(), UploadQueue::Outcome::Failed, QStringLiteral("not sent: %1").arg(error) });
        showError(error);
        emit uploadsFinished();
        return;
    }
    const UploadQueue *queue = m_batch.queue();
    statusBar()->showMessage(queue->summary());
    QList<QTreeWidgetItem *> sentBefore;
    for (int i = 0; i < rows.size(); ++i) {
        const UploadQueue::Outcome outcome = queue->results().at(i).outcome;
        if (outcome == UploadQueue::Outcome::Skipped || outcome == UploadQueue::Outcome::Changed)
            sentBefore << rows.at(i);
    }
    if (!sentBefore.isEmpty())
        askToSendAgain(sentBefore);
    emit uploadsFinished();
}

void HostWindow::showResult(QTreeWidgetItem *row, const UploadQueue::Result &result)
{
    QString text = result.detail;
    QBrush colour = palette().text();
    switch (result.outcome) {
    case UploadQueue::Outcome::Uploaded:
        text = tr("Uploaded (%1)").arg(result.detail);
        row->setData(ProgressColumn, ProgressDelegate::valueRole, 100);
        break;
    case UploadQueue::Outcome::Skipped:
        text = tr("Sent before: %1").arg(result.detail);
        colour = QBrush(Qt::darkYellow);
        break;
    case UploadQueue::Outcome::Changed:
        text = tr("Changed since sent: %1").arg(result.detail);
        colour = QBrush(Qt::darkYellow);
        break;
    case UploadQueue::Outcome::Unknown:
        text = tr("Unknown: %1").arg(result.detail);
        colour = QBrush(Qt::darkYellow);
        break;
    case UploadQueue::Outcome::Failed:
        text = tr("Not published: %1").arg(result.detail);
        colour = QBrush(Qt::red);
        break;
    }
    row->setText(ResultColumn, text);
    row->setToolTip(ResultColumn, plainToolTip(text)); // the whole text, however narrow the column
    row->setForeground(ResultColumn, colour);
    row->setData(ResultColumn, outcomeRole, int(result.outcome));
}

// Photos the record knows were sent (or may have been) go again only when
// the user says so.
void HostWindow::askToSendAgain(const QList<QTreeWidgetItem *> &rows)
{
    auto *box = new QMessageBox(QMessageBox::Question, tr("Send again?"),
                                tr("%n photo(s) were sent to this album before. Send them again?", nullptr, rows.size()),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->setObjectName(QStringLiteral("sendAgainBox"));
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QList<int> ids; // rows may be removed while the question is open
    for (const QTreeWidgetItem *row : rows)
        ids << row->data(NameColumn, idRole).toInt();
    connect(box, &QMessageBox::finished, this, [this, ids](int answer) {
        if (answer != QMessageBox::Yes || !m_uploadButton->isEnabled())
            return;
        const QList<QTreeWidgetItem *> still = rowsWithIds(ids);
        if (!still.isEmpty())
            send(still, true);
    });
    box->open();
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
    m_albumTask.reset(); // an album made now would be listed for whoever logs in next
    IServiceAccount *account = m_host->account();
    if (!account)
        return showError(tr("This plug-in cannot log out."));
    m_logButton->setEnabled(false);
    // The window may be gone by the time the plug-in is done.
    account->logOut([window = QPointer<HostWindow>(this)](const QString &error) {
        if (!window)
            return;
        window->setLoggedOut();
        if (error.isEmpty())
            window->statusBar()->showMessage(tr("Logged out"));
        else
            window->showError(error);
        emit window->loggedOut();
    });
}

void HostWindow::setLoggedOut()
{
    m_loggedIn = false;
    m_name->setText(tr("Not logged in"));
    m_picture->setPixmap(QPixmap());
    m_albums->clear();
    m_listed.clear();
    m_newAlbumButton->setEnabled(false); // until the albums are listed: a new one's name is checked against them
    m_logButton->setText(tr("Log in"));
    m_logButton->setEnabled(true);
}

void HostWindow::showError(const QString &text)
{
    statusBar()->showMessage(plainText(text));
}
