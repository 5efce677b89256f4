#ifndef THUMBNAILMAKER_H
#define THUMBNAILMAKER_H

#include <QImage>
#include <QObject>
#include <QThreadPool>

// Small pictures of photos for the window, made on worker threads from
// scaled reads, so that dropping fifty big photos keeps the window
// responsive; each photo's own caption is read there too, from its
// metadata alone. ready() arrives on the thread this object lives on.
class ThumbnailMaker : public QObject
{
    Q_OBJECT
public:
    explicit ThumbnailMaker(int side, QObject *parent = nullptr);
    // Drops what is still queued and waits for what is running.
    ~ThumbnailMaker() override;

    void request(int index, const QString &file);

signals:
    // thumbnail: null when the file cannot be read; caption: empty when it has none.
    void ready(int index, const QImage &thumbnail, const QString &caption);

private:
    const int m_side;
    QThreadPool m_pool;
};

#endif // THUMBNAILMAKER_H
