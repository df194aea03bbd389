// The scene the benches photograph: gradients, shapes and fine noise, like a field photo, so a
// JPEG encoder and decoder have real work.
#pragma once

#include <QColor>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

inline QImage makeScene(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(90, 140, 210));
    sky.setColorAt(0.55, QColor(200, 220, 240));
    sky.setColorAt(0.56, QColor(90, 120, 60));
    sky.setColorAt(1, QColor(60, 80, 40));
    QPainter painter(&image);
    painter.fillRect(image.rect(), sky);
    QRandomGenerator random(42);
    for (int i = 0; i < 400; ++i) {
        painter.setBrush(QColor::fromHsv(random.bounded(360), 80 + random.bounded(120),
                                         80 + random.bounded(150)));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(random.bounded(width), height / 2 + random.bounded(height / 2),
                            20 + random.bounded(200), 10 + random.bounded(120));
    }
    painter.end();
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int n = int(random.bounded(24)) - 12;
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + n, 255), qBound(0, qGreen(p) + n, 255),
                           qBound(0, qBlue(p) + n, 255));
        }
    }
    return image;
}
