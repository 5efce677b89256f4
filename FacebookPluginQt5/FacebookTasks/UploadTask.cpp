#include "UploadTask.h"

#include "GraphClient.h"
#include "network/SinglePassFile.h"
#include "utils/ImageMime.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHttpMultiPart>
#include <QNetworkReply>

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

UploadTask::~UploadTask() = default;

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
    if (m_albumName.isEmpty())
        return QStringLiteral("me");
    const QString id = graph()->albumMap().value(m_albumName);
    if (!id.isEmpty())
        return id;
    qDebug() << "Album" << m_albumName << "does not exist. Default to application album";
    return QStringLiteral("me");
}

QNetworkReply *UploadTask::reply()
{
    auto file = std::make_unique<Network::SinglePassFile>(m_filePath);
    if (!file->open(QIODevice::ReadOnly)) {
        finishWithError(QStringLiteral("Can't find %1").arg(m_filePath));
        return nullptr;
    }
    const QString suffix = QFileInfo(m_filePath).suffix();
    const QByteArray mime = mimeForExt(suffix);
    if (mime.isEmpty()) {
        finishWithError(QStringLiteral("Facebook does not support .%1 images").arg(suffix));
        return nullptr;
    }

    QHttpPart image;
    image.setHeader(QNetworkRequest::ContentTypeHeader, mime);
    image.setRawHeader("Content-Disposition",
                       "form-data; name=\"source\"; filename=\"" + safeFileName(m_filePath) + '"');
    image.setBodyDevice(file.get()); // streamed, not read into memory

    QHttpPart message;
    message.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArrayLiteral("form-data; name=\"message\""));
    message.setBody(m_message.toUtf8());

    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    body->append(message);
    body->append(image);
    Network::SinglePassFile *source = file.release();
    source->setParent(body);

    QNetworkReply *reply = graph()->post(QLatin1Char('/') + albumId() + QStringLiteral("/photos"), body);
    source->sealOnceSent(reply); // the photo goes out once, whatever the connection does
    body->setParent(reply);      // the body and the file live as long as the reply
    return reply;
}

void UploadTask::handleResult(const QVariantMap &result)
{
    // The service answers a stored photo with its id; a sign-in page of a
    // captive portal or a proxy's page may come with a 200 all the same.
    if (result.value(QStringLiteral("id")).toString().isEmpty()) {
        reportHttpFailure(QStringLiteral("the answer is not the service's: it names no stored photo"));
        return;
    }
    const std::function<void()> onSuccess = m_onSuccess;
    finishWithSuccess([&] { onSuccess(); });
}
