// The progress line of a batch run: photos done of total, photos per second, time left.
#include "progressline.h"

#include <unistd.h>

namespace {

QString duration(double seconds)
{
    const qint64 whole = qint64(seconds + 0.5);
    if (whole >= 3600)
        return QStringLiteral("%1 h %2 min").arg(whole / 3600).arg(whole % 3600 / 60);
    if (whole >= 60)
        return QStringLiteral("%1 min %2 s").arg(whole / 60).arg(whole % 60);
    return QStringLiteral("%1 s").arg(whole);
}

} // namespace

ProgressLine::ProgressLine(FILE *stream)
    : m_stream(stream)
    , m_shown(isatty(fileno(stream)) == 1)
{
    m_timer.start();
}

QString ProgressLine::text(int done, int total, double elapsedSeconds)
{
    QString line = QStringLiteral("%1/%2 fotos").arg(done).arg(total);
    if (done > 0 && elapsedSeconds > 0.0) {
        const double rate = done / elapsedSeconds;
        line += QStringLiteral(", %1 fotos/s, quedan %2")
                    .arg(QString::number(rate, 'f', 2), duration((total - done) / rate));
    }
    return line;
}

void ProgressLine::update(int done, int total)
{
    if (!m_shown)
        return;
    const QByteArray line = text(done, total, m_timer.nsecsElapsed() / 1e9).toUtf8();
    std::fprintf(m_stream, "\r\033[K%s", line.constData());
    std::fflush(m_stream);
    m_drawn = true;
}

void ProgressLine::updateStep(const QString &step, int done, int total)
{
    if (!m_shown)
        return;
    const QByteArray line =
        QStringLiteral("%1: %2/%3 fotos").arg(step).arg(done).arg(total).toUtf8();
    std::fprintf(m_stream, "\r\033[K%s", line.constData());
    std::fflush(m_stream);
    m_drawn = true;
}

void ProgressLine::clear()
{
    if (!m_drawn)
        return;
    std::fputs("\r\033[K", m_stream);
    std::fflush(m_stream);
    m_drawn = false;
}
