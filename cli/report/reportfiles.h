// What the report and the KMZ share on disk: a new file that appears whole or not at all, and
// photos read small.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QImageIOHandler>
#include <QString>

#include <memory>

class QFile;
class QTemporaryFile;

// A file written under a temporary name beside path, then given path only if nothing is there
// by then. Removed unless published.
class NewFile
{
public:
    explicit NewFile(const QString &path);
    ~NewFile();
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    // Creates the temporary file; false with a Spanish message.
    bool open(QString &errorText);
    QString temporaryPath() const;
    // The temporary file, open for writing.
    QFile *device() const;
    // Puts the finished file at path, never over an existing one.
    bool publish(QString &errorText);

private:
    QString m_path;
    std::unique_ptr<QTemporaryFile> m_file;
};

// Whether a new file can be put at path: none there yet, and its folder takes one. False with a
// Spanish message naming the option.
bool checkNewOutput(const QString &option, const QString &path, QString &errorText);

// A photo read with its long side at most longSide pixels, upright as viewers show it, in RGB32:
// a JPEG decoded at reduced size in the DCT domain (libjpeg's scale_num/scale_denom), then
// filtered down the rest of the way. Null with a Spanish message when the
// photo cannot be read.
QImage smallImage(const QString &path, int longSide, QString &errorText);

// The image turned upright as the toolkit's reader turns a photo that says so.
QImage turnedUpright(const QImage &image, QImageIOHandler::Transformations turn);

// The image with its long side at most longSide pixels, in RGB32.
QImage shrunkTo(const QImage &image, int longSide);

// The image as a JPEG of the given quality (0 to 100).
QByteArray jpegOf(const QImage &image, int quality);
