#include "CreateAlbumTask.h"

#include "GraphClient.h"
#include "GraphForm.h"
#include "network/SinglePassFile.h"

#include <QHttpMultiPart>
#include <QNetworkReply>

CreateAlbumTask::CreateAlbumTask(GraphClient *graph, LoginFlow *login, const Publishing::NewAlbum &album,
                                 CreatedCallback onCreated, FailureCallback onFailure, RetryPolicy policy)
    : FacebookTask(graph, login, std::move(onFailure), policy)
    , m_album(album)
    , m_onCreated(std::move(onCreated))
{
}

CreateAlbumTask::~CreateAlbumTask() = default;

QByteArray CreateAlbumTask::permissions()
{
    return QByteArrayLiteral("photo_upload");
}

QNetworkReply *CreateAlbumTask::reply()
{
    const QString refusal = Publishing::albumRefusal(m_album);
    if (!refusal.isEmpty()) {
        finishWithError(TaskFailure(TaskFailure::Kind::BadValue, refusal));
        return nullptr;
    }
    auto *body = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    // Qt would send the form again by itself on a connection that closes
    // unanswered: a second album. The name's part refuses that pass.
    auto *name = new Network::SinglePassBuffer(body);
    name->setData(m_album.name.trimmed().toUtf8()); // as the service keeps it
    name->open(QIODevice::ReadOnly);
    QHttpPart namePart = GraphForm::field("name", QByteArray());
    namePart.setBodyDevice(name);
    body->append(namePart);
    body->append(GraphForm::field("message", m_album.description.toUtf8()));
    if (!m_album.audience.isEmpty())
        body->append(GraphForm::field("privacy", GraphForm::privacy(m_album.audience)));
    QNetworkReply *reply = graph()->post(QStringLiteral("/me/albums"), body, this);
    name->sealOnceSent(reply);
    body->setParent(reply);
    return reply;
}

void CreateAlbumTask::handleResult(const QVariantMap &result)
{
    Publishing::Album created;
    created.id = result.value(QStringLiteral("id")).toString();
    if (created.id.isEmpty()) {
        // A page of a portal or a proxy: the album may have been made.
        reportHttpFailure(QStringLiteral("the answer is not the service's: it names no album"));
        return;
    }
    created.name = m_album.name.trimmed();
    created.canUpload = true;
    created.details.insert(QStringLiteral("description"), m_album.description);
    if (!m_album.audience.isEmpty())
        created.details.insert(QStringLiteral("audience"), m_album.audience);
    const CreatedCallback onCreated = m_onCreated;
    finishWithSuccess([&] { onCreated(created); });
}
