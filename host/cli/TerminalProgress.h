#ifndef TERMINALPROGRESS_H
#define TERMINALPROGRESS_H

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// One line on a terminal that redraws itself: what is being sent, bytes sent
// of the total, the rate and the time left. Draws nothing when the stream is
// not a terminal, so scripts and logs see only the results.
class TerminalProgress
{
public:
    explicit TerminalProgress(std::FILE *stream);

    void begin(const QString &label);
    void setLabel(const QString &label) { m_label = label; }
    void update(qint64 sent, qint64 total);
    void clear(); // before a line of ordinary output

    static QString bytesText(qint64 bytes);

private:
    std::FILE *m_stream;
    bool m_active;
    QString m_label;
    QElapsedTimer m_started;
    qint64 m_lastDrawMs = -1;
    bool m_drawn = false;
};

#endif // TERMINALPROGRESS_H
