#include "TerminalProgress.h"

#include "plugin/PlainText.h"

#include <unistd.h>

namespace {
constexpr qint64 redrawIntervalMs = 100;
}

TerminalProgress::TerminalProgress(std::FILE *stream)
    : m_stream(stream)
    , m_active(isatty(fileno(stream)))
{
}

void TerminalProgress::begin(const QString &label)
{
    m_label = label;
    m_started.start();
    m_lastDrawMs = -1;
}

void TerminalProgress::update(qint64 sent, qint64 total)
{
    if (!m_active || total <= 0)
        return;
    const qint64 elapsedMs = m_started.elapsed();
    if (sent < total && m_lastDrawMs >= 0 && elapsedMs - m_lastDrawMs < redrawIntervalMs)
        return;
    m_lastDrawMs = elapsedMs;
    const double rate = elapsedMs > 0 ? sent * 1000.0 / elapsedMs : 0.0;
    QString left = QStringLiteral("--:--");
    if (rate > 0) {
        const qint64 seconds = qint64((total - sent) / rate);
        left = QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    }
    const QString line = QStringLiteral("%1  %2 of %3  %4/s  %5 left")
                             .arg(m_label, bytesText(sent), bytesText(total), bytesText(qint64(rate)), left);
    // Carriage return, the line, then erase whatever a longer line left.
    std::fprintf(m_stream, "\r%s\033[K", terminalText(line).toLocal8Bit().constData());
    std::fflush(m_stream);
    m_drawn = true;
}

void TerminalProgress::clear()
{
    if (!m_drawn)
        return;
    std::fprintf(m_stream, "\r\033[K");
    std::fflush(m_stream);
    m_drawn = false;
}

QString TerminalProgress::bytesText(qint64 bytes)
{
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1024 * 1024)
        return QStringLiteral("%1 KB").arg(bytes / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(bytes / (1024.0 * 1024.0), 0, 'f', 1);
}
