// The progress line of a batch run: photos done of total, photos per second, time left.
#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// Rewritten in place on a terminal; silent on anything else.
class ProgressLine
{
public:
    explicit ProgressLine(FILE *stream);

    bool isShown() const { return m_shown; }
    void update(int done, int total);
    // A step after the photos, e.g. "Informe PDF: 3/10 fotos".
    void updateStep(const QString &step, int done, int total);
    // Removes the line, so that other output starts on a clean line.
    void clear();

    static QString text(int done, int total, double elapsedSeconds);

private:
    FILE *m_stream;
    bool m_shown;
    QElapsedTimer m_timer;
    bool m_drawn = false;
};
