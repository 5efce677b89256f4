#include "Images.h"

#include <QBuffer>
#include <QImage>

#include <cmath>
#include <functional>

namespace Images {

std::string sniff(const std::string &head)
{
    if (head.size() >= 3 && head.compare(0, 3, "\xFF\xD8\xFF") == 0)
        return "image/jpeg";
    if (head.size() >= 8 && head.compare(0, 8, std::string("\x89PNG\r\n\x1A\n", 8)) == 0)
        return "image/png";
    if (head.size() >= 6 && (head.compare(0, 6, "GIF87a") == 0 || head.compare(0, 6, "GIF89a") == 0))
        return "image/gif";
    return {};
}

std::string extensionFor(const std::string &mime)
{
    if (mime == "image/jpeg")
        return "jpg";
    if (mime == "image/png")
        return "png";
    if (mime == "image/gif")
        return "gif";
    return "bin";
}

// A head and shoulders on a coloured background; no fonts needed, so it
// renders the same on any machine and on any thread.
std::string profilePicture(int width, int height, const std::string &seed)
{
    const unsigned hash = unsigned(std::hash<std::string> {}(seed));
    const QRgb background = qRgb(60 + hash % 120, 90 + (hash >> 8) % 120, 140 + (hash >> 16) % 100);
    const QRgb figure = qRgb(245, 245, 250);
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        const double v = (y + 0.5) / height;
        for (int x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width;
            const bool head = std::hypot(u - 0.5, v - 0.38) < 0.2;
            const bool shoulders = std::hypot((u - 0.5) / 1.4, v - 1.0) < 0.3;
            line[x] = head || shoulders ? figure : background;
        }
    }
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png.toStdString();
}

} // namespace Images
