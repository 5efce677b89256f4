#include "ThumbnailMaker.h"

#include "preparation/ImageLimits.h"
#include "preparation/PhotoMetadata.h"

#include <QFileInfo>
#include <QImageReader>

ThumbnailMaker::ThumbnailMaker(int side, QObject *parent)
    : QObject(parent)
    , m_side(side)
{
    ImageLimits::apply();
    PhotoMetadata::initialize(); // before any worker reads
    m_pool.setMaxThreadCount(qMax(1, QThread::idealThreadCount() - 1)); // one core for the window
}

ThumbnailMaker::~ThumbnailMaker()
{
    m_pool.clear();
    m_pool.waitForDone();
}

void ThumbnailMaker::request(int index, const QString &file)
{
    m_pool.start([this, index, file] {
        QImageReader reader(file);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        QImage thumbnail;
        if (size.isValid() && ImageLimits::refusal(QFileInfo(file).fileName(), size).isEmpty()) {
            reader.setScaledSize(size.scaled(m_side, m_side, Qt::KeepAspectRatio));
            thumbnail = reader.read();
        }
        // The words the batch would send, read as it reads them.
        emit ready(index, thumbnail, PhotoMetadata::read(file).caption()); // queued to the receivers' thread
    });
}
