// Phone photos stored as HEIF (HEIC, HIF): told by content, checked and decoded through libheif.
// The script converts them to JPEG; the window never lists them.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace heifimage {

// True when the bytes begin as a HEIF file does, whether or not libheif can decode it.
bool isHeif(const QByteArray &bytes);

struct Probe
{
    bool decodable = false;
    QString errorText; // why not, when not decodable
    QSize size;        // of the primary image, as displayed (its rotation boxes applied)
    // Depth maps, auxiliary images (alpha planes aside) and thumbnails the conversion leaves out.
    int leftOut = 0;
};

// Reads the container and its primary image's header without decoding any pixels.
Probe probe(const QByteArray &bytes);

// The primary image, upright as viewers show it; null with errorText when it does not decode.
QImage decode(const QByteArray &bytes, QString &errorText);

} // namespace heifimage
