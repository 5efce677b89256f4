#ifndef IMAGELIMITS_H
#define IMAGELIMITS_H

#include <QSize>
#include <QString>

class QImageReader;

// A small file whose header claims 50,000 × 50,000 pixels must not make the
// host allocate gigabytes. Sizes are read from the header first and refused
// above maxPixels; the decoder's own allocation limit is set to match (Qt 6
// has one, with a default that refuses genuine large photos; Qt 5 has none,
// and the header check is the limit there).
namespace ImageLimits {

constexpr qint64 maxPixels = 250'000'000;
constexpr int allocationLimitMb = 1024; // maxPixels at 4 bytes a pixel, rounded up

// Sets the decoder's limit; call once before any image is read.
void apply();

// Why an image of this size (from its header) is not decoded; empty if it may be.
QString refusal(const QString &fileName, const QSize &size);

} // namespace ImageLimits

#endif // IMAGELIMITS_H
