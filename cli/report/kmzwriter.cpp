// The run's photos as a KMZ: a KML 2.2 document and the files it shows, zipped through minizip.
#include "photoreport.h"
#include "reportfiles.h"
#include "reportsinks.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImage>
#include <QMap>
#include <QPainter>
#include <QPainterPath>
#include <QXmlStreamWriter>

#include <zip.h>

#include <ctime>
#include <memory>

namespace {

const QString iconFile = QStringLiteral("files/camara.png");

// The placemarks' icon: a camera seen from above, its lens and a wedge toward where it looks,
// which is straight up until the icon is turned to the photo's heading.
QByteArray cameraIcon()
{
    QImage icon(64, 64, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2.5));
    QPainterPath wedge;
    wedge.moveTo(32, 2);
    wedge.lineTo(44, 20);
    wedge.lineTo(20, 20);
    wedge.closeSubpath();
    painter.setBrush(QColor(230, 80, 20));
    painter.drawPath(wedge);
    painter.setBrush(QColor(40, 40, 48));
    painter.drawRoundedRect(QRectF(12, 22, 40, 30), 5, 5);
    painter.setBrush(QColor(120, 170, 230));
    painter.drawEllipse(QPointF(32, 37), 9, 9);
    painter.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    icon.save(&buffer, "PNG");
    return png;
}

QString coordinate(double value)
{
    return QString::number(value, 'f', 8);
}

// xsd:dateTime, with the offset when the photo states one.
QString whenText(const ReportPhoto &photo)
{
    QString text = photo.date.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
    if (!photo.dateOffset.isEmpty())
        text += photo.dateOffset;
    return text;
}

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString balloon(const ReportPhoto &photo, const QString &image)
{
    QString html = QStringLiteral("<img src=\"%1\" width=\"600\"/><br/>").arg(image);
    for (const QString &line : reportPhotoLines(photo))
        html += escaped(line) + QStringLiteral("<br/>");
    if (!photo.note.isEmpty())
        html += QStringLiteral("<b>") + escaped(photo.note) + QStringLiteral("</b>");
    return html;
}

// The entry of the photo numbered number (from 1, in listing order): numbered, so photos of
// several subfolders sharing a name stay apart.
QString imageEntry(int number)
{
    return QStringLiteral("files/foto-%1.jpg").arg(number, 4, 10, QLatin1Char('0'));
}

QByteArray documentKml(const ReportRun &run, const QString &title)
{
    QByteArray kml;
    QXmlStreamWriter xml(&kml);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QStringLiteral("http://www.opengis.net/kml/2.2"));
    xml.writeStartElement(QStringLiteral("kml"));
    xml.writeStartElement(QStringLiteral("Document"));
    xml.writeTextElement(QStringLiteral("name"), title);
    xml.writeStartElement(QStringLiteral("Style"));
    xml.writeAttribute(QStringLiteral("id"), QStringLiteral("track"));
    xml.writeStartElement(QStringLiteral("LineStyle"));
    xml.writeTextElement(QStringLiteral("color"), QStringLiteral("ff1433d9"));
    xml.writeTextElement(QStringLiteral("width"), QStringLiteral("3"));
    xml.writeEndElement();
    xml.writeEndElement();

    if (!run.tracks.empty()) {
        xml.writeStartElement(QStringLiteral("Folder"));
        xml.writeTextElement(QStringLiteral("name"), QStringLiteral("Tracks"));
        int number = 0;
        for (const auto &line : run.tracks) {
            xml.writeStartElement(QStringLiteral("Placemark"));
            xml.writeTextElement(QStringLiteral("name"), QStringLiteral("Track %1").arg(++number));
            xml.writeTextElement(QStringLiteral("styleUrl"), QStringLiteral("#track"));
            xml.writeStartElement(QStringLiteral("LineString"));
            xml.writeTextElement(QStringLiteral("tessellate"), QStringLiteral("1"));
            QStringList points;
            for (const GeoPosition &point : line)
                points << coordinate(point.longitude) + QLatin1Char(',') +
                              coordinate(point.latitude);
            xml.writeTextElement(QStringLiteral("coordinates"), points.join(QLatin1Char(' ')));
            xml.writeEndElement();
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }

    // One folder per subfolder of the run, the folder itself first.
    QMap<QString, QList<QPair<int, int>>> folders; // photo's index and number
    int number = 0;
    for (int at = 0; at < run.photos.size(); ++at)
        if (run.photos.at(at).located)
            folders[run.photos.at(at).subfolder()].append({at, ++number});
    for (auto folder = folders.cbegin(); folder != folders.cend(); ++folder) {
        xml.writeStartElement(QStringLiteral("Folder"));
        xml.writeTextElement(QStringLiteral("name"), folder.key().isEmpty() ? title : folder.key());
        for (const auto &[at, photoNumber] : folder.value()) {
            const ReportPhoto &photo = run.photos.at(at);
            xml.writeStartElement(QStringLiteral("Placemark"));
            xml.writeTextElement(QStringLiteral("name"), QFileInfo(photo.finalPath).fileName());
            xml.writeStartElement(QStringLiteral("description"));
            xml.writeCDATA(balloon(photo, imageEntry(photoNumber)));
            xml.writeEndElement();
            if (photo.date.isValid()) {
                xml.writeStartElement(QStringLiteral("TimeStamp"));
                xml.writeTextElement(QStringLiteral("when"), whenText(photo));
                xml.writeEndElement();
            }
            // Its own style: the icon turned to the heading, none without one.
            xml.writeStartElement(QStringLiteral("Style"));
            xml.writeStartElement(QStringLiteral("IconStyle"));
            if (photo.heading)
                xml.writeTextElement(QStringLiteral("heading"),
                                     QString::number(*photo.heading, 'f', 1));
            xml.writeStartElement(QStringLiteral("Icon"));
            xml.writeTextElement(QStringLiteral("href"), iconFile);
            xml.writeEndElement();
            xml.writeEndElement();
            xml.writeEndElement();
            xml.writeStartElement(QStringLiteral("Point"));
            xml.writeTextElement(QStringLiteral("coordinates"),
                                 coordinate(photo.position.longitude) + QLatin1Char(',') +
                                     coordinate(photo.position.latitude));
            xml.writeEndElement();
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return kml;
}

// Entries of one archive, each written whole.
class Archive
{
public:
    explicit Archive(const QString &path)
        : m_zip(zipOpen64(QFile::encodeName(path).constData(), APPEND_STATUS_CREATE))
    {
    }
    ~Archive()
    {
        if (m_zip)
            zipClose(m_zip, nullptr);
    }
    Archive(const Archive &) = delete;
    Archive &operator=(const Archive &) = delete;

    bool isOpen() const { return m_zip != nullptr; }

    // JPEG and PNG do not shrink any further: those are stored as they are.
    bool add(const QString &name, const QByteArray &bytes, bool compress)
    {
        zip_fileinfo info{};
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        info.tmz_date = {uInt(local.tm_sec),  uInt(local.tm_min), uInt(local.tm_hour),
                         uInt(local.tm_mday), uInt(local.tm_mon), uInt(local.tm_year + 1900)};
        const QByteArray entry = name.toUtf8();
        if (zipOpenNewFileInZip64(m_zip, entry.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                  compress ? Z_DEFLATED : 0, compress ? Z_DEFAULT_COMPRESSION : 0,
                                  bytes.size() > 0x7fffffff ? 1 : 0) != ZIP_OK)
            return false;
        const bool written =
            zipWriteInFileInZip(m_zip, bytes.constData(), unsigned(bytes.size())) == ZIP_OK;
        return zipCloseFileInZip(m_zip) == ZIP_OK && written;
    }

    bool close()
    {
        const bool closed = zipClose(m_zip, nullptr) == ZIP_OK;
        m_zip = nullptr;
        return closed;
    }

private:
    zipFile m_zip;
};

class KmzSink : public PhotoSink
{
public:
    explicit KmzSink(const QString &path)
        : m_path(path)
        , m_file(path)
    {
    }

    bool start(const ReportRun &run, const QString &title, QString &errorText)
    {
        if (!m_file.open(errorText))
            return false;
        m_archive = std::make_unique<Archive>(m_file.temporaryPath());
        if (!m_archive->isOpen())
            return failed(QStringLiteral("no se puede crear el archivo"), errorText);
        // doc.kml comes first: that is the entry viewers open.
        if (!m_archive->add(QStringLiteral("doc.kml"), documentKml(run, title), true) ||
            !m_archive->add(iconFile, cameraIcon(), false))
            return failed(QStringLiteral("error de escritura"), errorText);
        return true;
    }

    // A photo that could not be read keeps its placemark; its balloon shows no picture.
    bool add(const ReportPhoto &, int number, const PreparedPhoto &prepared,
             QString &errorText) override
    {
        if (prepared.kmzJpeg.isEmpty())
            return true;
        if (!m_archive->add(imageEntry(number), prepared.kmzJpeg, false))
            return failed(QStringLiteral("error de escritura"), errorText);
        return true;
    }

    bool finish(QString &errorText) override
    {
        const bool closed = m_archive->close();
        m_archive.reset();
        if (!closed)
            return failed(QStringLiteral("error de escritura"), errorText);
        return m_file.publish(errorText);
    }

private:
    bool failed(const QString &reason, QString &errorText) const
    {
        errorText = QStringLiteral("no se puede escribir el KMZ %1 (%2)").arg(m_path, reason);
        return false;
    }

    QString m_path;
    NewFile m_file;
    std::unique_ptr<Archive> m_archive;
};

} // namespace

std::unique_ptr<PhotoSink> startKmz(const ReportRun &run, const ReportOptions &options,
                                    QString &errorText)
{
    auto sink = std::make_unique<KmzSink>(options.kmzPath);
    if (!sink->start(run, options.title.isEmpty() ? run.title : options.title, errorText))
        return nullptr;
    return sink;
}
