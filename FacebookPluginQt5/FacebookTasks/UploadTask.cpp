#include "UploadTask.h"

#include "AlbumTask.h"
#include "GraphClient.h"
#include "GraphForm.h"
#include "network/SinglePassFile.h"
#include "utils/ImageMime.h"
#include "utils/Logging.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkReply>

#include <algorithm>
#include <memory>

namespace {

// The file's own name, fit for a quoted header parameter: no directories,
// no quotes, backslashes or control characters.
QByteArray safeFileName(const QString &path)
{
    QByteArray name = QFileInfo(path).fileName().toUtf8();
    for (char &c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\')
            c = '_';
    }
    return name;
}

} // namespace

UploadTask::UploadTask(GraphClient *graph, LoginFlow *login, const QString &filePath, const QString &albumName,
                       const QString &message, std::function<void()> onSuccess, ErrorCallback onError,
                       RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onError), policy)
    , m_filePath(filePath)
    , m_albumName(albumName)
    , m_message(message)
    , m_onSuccess(std::move(onSuccess))
{
}

namespace {

Publishing::Result failed(const TaskFailure &failure)
{
    Publishing::Result result;
    result.outcome = failure.maybeActedOn ? Publishing::Result::Outcome::MayHaveBeenPublished
                                          : Publishing::Result::Outcome::NotPublished;
    result.failure = failure;
    return result;
}

// Graph ids are letters, digits and underscores: anything else could lead
// the photo's path elsewhere.
bool isAlbumId(const QString &id)
{
    return std::all_of(id.cbegin(), id.cend(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) || c == QLatin1Char('_');
    });
}

} // namespace

UploadTask::UploadTask(GraphClient *graph, LoginFlow *login, const Publishing::Photo &photo, Done done,
                       RetryPolicy policy)
    : FacebookTask(graph, login, FailureCallback([done](const TaskFailure &failure) { done(failed(failure)); }),
                   policy)
    , m_filePath(photo.filePath)
    , m_albumId(photo.albumId.isEmpty() ? QStringLiteral("me") : photo.albumId)
    , m_message(photo.message)
    , m_options(photo.options)
    , m_done(std::move(done))
{
    reportRateLimits(); // the host holds its whole batch
}

UploadTask::~UploadTask() = default;

void UploadTask::submit()
{
    m_listing = false;
    m_relisted = false;
    FacebookTask::submit();
}

QByteArray UploadTask::permissions()
{
    return QByteArrayLiteral("photo_upload");
}

QByteArray UploadTask::mimeForExt(QString suffix)
{
    return ImageMime::ofSuffix(suffix);
}

QString UploadTask::albumId()
{
    if (!m_albumId.isEmpty())
        return m_albumId;
    if (m_albumName.isEmpty())
        return QStringLiteral("me");
    const QString id = graph()->albumMap().value(m_albumName);
    if (!id.isEmpty())
        return id;
    qDebug() << "Album" << m_albumName << "does not exist. Default to application album";
    return QStringLiteral("me");
}

// A name the map lost with a change of the stored token was the user's
// album: sending the photo to the default album would say "uploaded" of a
// photo that is not where the user sent it.
bool UploadTask::needsAlbumListing()
{
    return m_albumId.isEmpty() && !m_albumName.isEmpty() && !m_relisted
        && graph()->albumMap().value(m_albumName).isEmpty() && graph()->albumsOutdated();
}

QNetworkReply *UploadTask::reply()
{
    auto file = std::make_unique<Network::SinglePassFile>(m_filePath);
    if (!file->open(QIODevice::ReadOnly)) {
        finishWithError(TaskFailure(TaskFailure::Kind::FileUnreadable, m_filePath));
        return nullptr;
    }
    const QString suffix = QFileInfo(m_filePath).suffix();
    const QByteArray mime = mimeForExt(suffix);
    if (mime.isEmpty()) {
        finishWithError(TaskFailure(TaskFailure::Kind::UnsupportedType, suffix));
        return nullptr;
    }
    if (const std::optional<TaskFailure> refusal = optionRefusal()) {
        finishWithError(*refusal);
        return nullptr;
    }
    if (!isAlbumId(m_albumId)) {
        finishWithError(TaskFailure(TaskFailure::Kind::BadAlbumId, m_albumId));
        return nullptr;
    }
    if (!m_listing && needsAlbumListing()) {
        qCInfo(lcGraph) << "Listing the albums again before the upload to" << m_albumName;
        m_listing = true;
        m_pagePath.clear();
        m_pages = 0;
    }
    if (m_listing) // from its first page, or again the page a retry is for
        return graph()->get(m_pagePath.isEmpty() ? QStringLiteral("/me/albums") : m_pagePath, this);

    QHttpPart image;
    image.setHeader(QNetworkRequest::ContentTypeHeader, mime);
    image.setRawHeader("Content-Disposition",
                       "form-data; name=\"source\"; filename=\"" + safeFileName(m_filePath) + '"');
    image.setBodyDevice(file.get()); // streamed, not read into memory

    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    body->append(GraphForm::field("message", m_message.toUtf8()));
    const QString audience = m_options.value(Publishing::PhotoOption::audience()).toString();
    if (!audience.isEmpty())
        body->append(GraphForm::field("privacy", GraphForm::privacy(audience)));
    const QString takenAt = m_options.value(Publishing::PhotoOption::takenAt()).toString();
    if (!takenAt.isEmpty())
        body->append(GraphForm::field("backdated_time", takenAt.toLatin1()));
    body->append(image);
    Network::SinglePassFile *source = file.release();
    source->setParent(body);

    m_sentTo = albumId();
    QNetworkReply *reply = graph()->post(QLatin1Char('/') + m_sentTo + QStringLiteral("/photos"), body, this);
    source->sealOnceSent(reply); // the photo goes out once, whatever the connection does
    body->setParent(reply);      // the body and the file live as long as the reply
    return reply;
}

// Each option the photo carries is one the service's form takes, with a
// value it takes: a photo is never published to more people, or dated
// otherwise, than the host asked for.
std::optional<TaskFailure> UploadTask::optionRefusal() const
{
    for (auto option = m_options.cbegin(); option != m_options.cend(); ++option) {
        const QString value = option.value().toString();
        if (option.key() == Publishing::PhotoOption::audience()) {
            if (!Publishing::Audience::isName(value))
                return TaskFailure(TaskFailure::Kind::BadValue,
                                   QStringLiteral("\"%1\" is not an audience (%2)")
                                       .arg(value, Publishing::Audience::names().join(QStringLiteral(", "))));
        } else if (option.key() == Publishing::PhotoOption::takenAt()) {
            if (!GraphForm::isBackdatedTime(value))
                return TaskFailure(TaskFailure::Kind::BadValue,
                                   QStringLiteral("\"%1\" is not a date and time the service takes").arg(value));
        } else {
            return TaskFailure(TaskFailure::Kind::UnsupportedOption, option.key());
        }
    }
    return std::nullopt;
}

void UploadTask::onListingPage(const QVariantMap &page)
{
    // Without the service's list the photo has nowhere it surely belongs.
    if (page.value(QStringLiteral("data")).userType() != QMetaType::QVariantList) {
        reportHttpFailure(QStringLiteral("the answer is not the service's: it lists no albums"));
        return;
    }
    const QVariantList albums = page.value(QStringLiteral("data")).toList();
    graph()->noteAlbums(albums);
    const QString next = graph()->nextPagePath(page);
    if (!next.isEmpty() && !albums.isEmpty() && ++m_pages < AlbumTask::maxPages) {
        m_pagePath = next;
        setReply(reply());
        return;
    }
    graph()->noteAlbumsListed();
    m_listing = false;
    m_relisted = true;
    retry(); // now the photo
}

void UploadTask::handleResult(const QVariantMap &result)
{
    if (m_listing)
        return onListingPage(result);
    // The service answers a stored photo with its id; a sign-in page of a
    // captive portal or a proxy's page may come with a 200 all the same.
    const QString photoId = result.value(QStringLiteral("id")).toString();
    if (photoId.isEmpty()) {
        reportHttpFailure(QStringLiteral("the answer is not the service's: it names no stored photo"));
        return;
    }
    if (m_done) {
        const Done done = m_done;
        Publishing::Result published;
        published.outcome = Publishing::Result::Outcome::Published;
        published.photoId = photoId;
        published.albumId = m_sentTo;
        finishWithSuccess([&] { done(published); });
        return;
    }
    const std::function<void()> onSuccess = m_onSuccess;
    finishWithSuccess([&] { onSuccess(); });
}
