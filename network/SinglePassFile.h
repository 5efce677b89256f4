#ifndef NETWORK_SINGLEPASSFILE_H
#define NETWORK_SINGLEPASSFILE_H

#include <QBuffer>
#include <QFile>
#include <QNetworkReply>

#include <utility>

namespace Network {

// A request body's device that can be read again only until the reply
// reports the whole body sent. Qt's network stack sends a request again by
// itself when its connection closes without an answer, rewinding the body
// for it: once the service may have the whole body, the rewind fails and
// the reply ends with QNetworkReply::ContentReSendError instead of a second
// copy. One such part seals a whole multipart body.
template <typename Device>
class SinglePass : public Device
{
public:
    template <typename... Args>
    explicit SinglePass(Args &&...args) : Device(std::forward<Args>(args)...) { }

    // Connect before the reply can send anything.
    void sealOnceSent(QNetworkReply *reply)
    {
        QObject::connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64 total) {
            if (total > 0 && sent == total)
                m_sealed = true;
        });
    }

    bool seek(qint64 offset) override { return !m_sealed && Device::seek(offset); }
    bool reset() override { return !m_sealed && Device::reset(); }

private:
    bool m_sealed = false;
};

using SinglePassFile = SinglePass<QFile>;
using SinglePassBuffer = SinglePass<QBuffer>;

} // namespace Network

#endif // NETWORK_SINGLEPASSFILE_H
