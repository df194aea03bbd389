// A JPEG's metadata segments carried byte for byte through a batch run (only what the run changes
// is rewritten, MPF is dropped with its line), the segment lister on damaged headers, and entries
// added to a photo's XMP history as another reader sees them.
#include "batchengine.h"
#include "jpegsegments.h"
#include "photometadata.h"
#include "testphotos.h"

#include <QtGui>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

QByteArray seg(int marker, const QByteArray &content)
{
    const int length = int(content.size()) + 2;
    return QByteArray("\xFF") + char(marker) + char(length >> 8) + char(length & 0xFF) + content;
}

QByteArray le(quint32 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out += char(value >> (8 * i));
    return out;
}

QByteArray entry(int tag, int type, int count, quint32 value)
{
    return le(tag, 2) + le(type, 2) + le(count, 4) + le(value, 4);
}

// Make "Canon", Orientation 6 and a Canon-style maker note (an IFD whose offsets count from the
// TIFF header) at the odd offset 75, which any rewrite of the block moves.
const QByteArray canonTiff = "II*\0"_ba + le(8, 4) + le(3, 2) + entry(0x010F, 2, 6, 50) +
                             entry(0x0112, 3, 1, 6) + entry(0x8769, 4, 1, 56) + le(0, 4) +
                             "Canon\0"_ba + le(1, 2) + entry(0x927C, 7, 26, 75) + le(0, 4) + '\0' +
                             le(1, 2) + entry(0x0001, 3, 4, 93) + le(0, 4) + le(8, 2) + le(2, 2) +
                             le(0, 2) + le(3, 2);
const QByteArray makerNote = canonTiff.mid(75, 26);

// Source segments by name, in the order the photo holds them.
const QList<QPair<QString, QByteArray>> sourceSegments{
    {"exif", seg(0xE1, "Exif\0\0"_ba + canonTiff)},
    {"xmp", seg(0xE1, "http://ns.adobe.com/xap/1.0/\0"_ba +
                          "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://"
                          "www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
                          "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" tiff:Orientation=\"6\"/>"
                          "</rdf:RDF></x:xmpmeta>")},
    {"photoshop", seg(0xED, "Photoshop 3.0\0008BIM\x04\x04\0\0\0\0\0\x0D\x1C\x02\x78\0\x08"
                            "Quebrada\0"_ba)},
    {"icc", seg(0xE2, "ICC_PROFILE\0\1\1"_ba + QColorSpace(QColorSpace::SRgb).iccProfile())},
    {"mpf", seg(0xE2, "MPF\0II*\0\x08\0\0\0\0\0\0\0\0\0"_ba)},
    {"adobe", seg(0xEE, "Adobe\0\x64\0\0\0\0\1"_ba)},
    {"com", seg(0xFE, "Obra 12, talud norte")}};

// Qt's encoding of a small picture without its JFIF header, the source segments after its SOI.
QByteArray sourcePhoto()
{
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(40, 90, 160));
    QByteArray encoded;
    QBuffer buffer(&encoded);
    image.save(&buffer, "JPEG");
    QByteArray photo = encoded.left(2);
    for (const auto &segment : sourceSegments)
        photo += segment.second;
    return photo + encoded.mid(4 + (uchar(encoded[4]) << 8 | uchar(encoded[5])));
}

// An XMP packet holding a rating and whatever inside says.
QByteArray xmpPacket(const QByteArray &inside)
{
    return "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/"
           "22-rdf-syntax-ns#'><rdf:Description rdf:about='' xmlns:xmp='http://ns.adobe.com/"
           "xap/1.0/' xmlns:xmpMM='http://ns.adobe.com/xap/1.0/mm/' xmlns:stEvt='http://ns."
           "adobe.com/xap/1.0/sType/ResourceEvent#' xmp:Rating='3'>" +
           inside + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

// Another program's entry, as the first of the history.
const QByteArray otherEntry =
    "<xmpMM:History><rdf:Seq><rdf:li rdf:parseType='Resource'><stEvt:action>saved</stEvt:action>"
    "<stEvt:softwareAgent>Otro 1.0</stEvt:softwareAgent><stEvt:when>2025-01-02T03:04:05+01:00"
    "</stEvt:when></rdf:li></rdf:Seq></xmpMM:History>";

QByteArray withXmpSegment(QByteArray jpeg, const QByteArray &packet)
{
    QString error;
    const QByteArray segment =
        packet.isEmpty() ? QByteArray() : seg(0xE1, xmpIdentifier() + packet);
    return replaceJpegSegment(jpeg, JpegSegmentKind::Xmp, segment, error) ? jpeg : QByteArray();
}

QList<QByteArray> segmentsBesidesXmp(const QByteArray &jpeg)
{
    const JpegLayout layout = parseJpegLayout(jpeg);
    QList<QByteArray> kept{jpeg.mid(layout.scanOffset)};
    for (const JpegSegment &segment : layout.segments)
        if (segment.kind != JpegSegmentKind::Xmp)
            kept << jpeg.mid(segment.offset, segment.size);
    return kept;
}

} // namespace

class TestSplice : public QObject
{
    Q_OBJECT

private slots:
    void carriedThroughRun_data()
    {
        QTest::addColumn<QString>("kept"); // back byte for byte, besides the blocks every row keeps
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addRow("default run") << "exif xmp makernote" << u"Exif.Image.Orientation"_s << "6";
        QTest::addRow("upright") << "makernote" << u"Xmp.tiff.Orientation"_s << "1";
        QTest::addRow("UTM into EXIF") << "xmp" << u"Exif.GPSInfo.GPSLatitudeRef"_s << "S";
        QTest::addRow("track into EXIF") << "xmp" << u"Exif.GPSInfo.GPSLongitudeRef"_s << "W";
    }

    void carriedThroughRun()
    {
        QFETCH(QString, kept);
        QFETCH(QString, key);
        QFETCH(QString, value);
        const QStringList carried = (kept + " photoshop icc com").split(' ');
        QTemporaryDir dir;
        const QString path = dir.filePath("a.jpg");
        QVERIFY(TestPhotos::writeFile(path, sourcePhoto()));
        BatchJob job;
        job.directory = dir.path();
        job.renameToUtm = job.makeBackup = false;
        QStringList log;
        job.log = [&log](Severity, const QString &line) {
            log << line;
        };
        const QString row = QTest::currentDataTag();
        job.orientUpright = row == "upright";
        if (row == "UTM into EXIF") {
            job.useExif = false;
            job.embedTxtInExif = true;
            job.txtPath = dir.filePath("coords.txt");
            QVERIFY(TestPhotos::writeFile(job.txtPath, "a.jpg,19,H,346574,6298958\n"));
        }
        job.writeTrackToExif = row == "track into EXIF";
        job.trackLookup = [](const TrackQuery &) {
            TrackPosition position;
            position.found = true;
            position.latitude = -33.45;
            position.longitude = -70.66;
            return position;
        };

        runBatch(job);

        const QByteArray written = TestPhotos::readFile(path);
        QVERIFY2(log.contains("Imágenes MPF descartadas para a.jpg"), qPrintable(log.join('\n')));
        QVERIFY(!written.contains("MPF\0II"_ba) && !written.contains("Adobe\0\x64"_ba));
        // The encoder's own header and its comment made from the source's are gone.
        QVERIFY(!written.contains("JFIF") && !written.contains("Description:"));
        qsizetype previous = -1;
        for (const auto &[name, segment] : sourceSegments) {
            const qsizetype at = written.indexOf(segment);
            QCOMPARE(at >= 0, carried.contains(name));
            QVERIFY2(at < 0 || at > previous, qPrintable(name)); // in source order
            previous = qMax(previous, at);
        }
        QCOMPARE(written.contains(makerNote), carried.contains("makernote"));
        QCOMPARE(TestPhotos::tag(path, key), value);
        QCOMPARE(TestPhotos::tag(path, "Exif.Image.Make"), "Canon");
    }

    void damagedHeaders_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("segments"); // -1: not a JPEG whose segments can be listed
        const QByteArray soi("\xFF\xD8"), sos = seg(0xDA, "\1\1\0\0?\0"_ba), com = seg(0xFE, "x");
        QTest::addRow("no SOI") << com + sos << -1;
        QTest::addRow("length below two") << soi + "\xFF\xFE\0\1"_ba + sos << -1;
        QTest::addRow("EOI before the scan") << soi + com + "\xFF\xD9"_ba << -1;
        QTest::addRow("stray bytes and fill") << soi + "\0\x12\xFF\xFF"_ba + com + sos << 1;
        QTest::addRow("restart marker, no length") << soi + "\xFF\xD3"_ba + com + sos << 2;
        // Every cut of a real header, inside a segment or between two: listed only once it
        // reaches its first SOS.
        const QByteArray photo = sourcePhoto();
        const JpegLayout whole = parseJpegLayout(photo);
        for (qsizetype size = 0; size < whole.scanOffset + 8; ++size)
            QTest::addRow("cut at %lld", qlonglong(size))
                << photo.left(size)
                << (size < whole.scanOffset + 2 ? -1 : int(whole.segments.size()));
    }

    void damagedHeaders()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, segments);
        const JpegLayout layout = parseJpegLayout(bytes);
        QCOMPARE(layout.valid ? int(layout.segments.size()) : -1, segments);
        QCOMPARE(layout.error.isEmpty(), layout.valid);
        for (const JpegSegment &segment : layout.segments)
            QVERIFY(segment.offset >= 2 && segment.offset + segment.size <=
                                               (layout.valid ? layout.scanOffset : bytes.size()));
    }

    void appendHistory_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("other"); // the history starts with another program's entry
        QTest::addRow("JPEG after another program") << "a.jpg" << true;
        QTest::addRow("JPEG without XMP") << "a.jpg" << false;
        QTest::addRow("PNG") << "a.png" << true;
        QTest::addRow("TIFF") << "a.tif" << true;
    }

    void appendHistory()
    {
        QFETCH(QString, file);
        QFETCH(bool, other);
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            QSKIP("exiftool is not installed (scripts/install-deps.sh installs it)");
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        QVERIFY(file.endsWith(".jpg")
                    ? TestPhotos::writeFile(path, withXmpSegment(sourcePhoto(), {}))
                    : TestPhotos::writeImage(path));
        QVERIFY(!other || TestPhotos::setXmpPacket(path, xmpPacket(otherEntry)));
        QVERIFY(!readPhotoMetadata(path).processedByCartaluz);

        // Two of ours, then another program's, which the reader must look past.
        const QList<HistoryEntry> entries{
            {"edited", "Cartaluz 9.1", QDateTime({2026, 3, 14}, {9, 26, 53}, QTimeZone(-3 * 3600)),
             "--prefijo P --zona 19H"},
            {"edited", "Cartaluz 9.2", QDateTime({2026, 3, 15}, {8, 0}, Qt::UTC), ""},
            {"saved", "Otro 2.0",
             QDateTime({2026, 3, 16}, {23, 59, 59}, QTimeZone(5 * 3600 + 1800)), "x"}};
        const QStringList shown{"2026:03:14 09:26:53-03:00", "2026:03:15 08:00:00+00:00",
                                "2026:03:16 23:59:59+05:30"};
        QJsonArray expected;
        if (other)
            expected << QJsonObject{{"Action", "saved"},
                                    {"SoftwareAgent", "Otro 1.0"},
                                    {"When", "2025:01:02 03:04:05+01:00"}};
        QByteArray photo = TestPhotos::readFile(path);
        const QByteArray before = photo;
        for (int i = 0; i < entries.size(); ++i) {
            QString error;
            QVERIFY2(appendHistoryEntry(photo, entries[i], error), qPrintable(error));
            QJsonObject shownEntry{{"Action", entries[i].action},
                                   {"SoftwareAgent", entries[i].softwareAgent},
                                   {"When", shown[i]}};
            if (!entries[i].parameters.isEmpty())
                shownEntry["Parameters"] = entries[i].parameters;
            expected << shownEntry;
        }
        QVERIFY(TestPhotos::writeFile(path, photo));

        QProcess exiftool;
        exiftool.start("exiftool", {"-j", "-struct", "-XMP-xmpMM:History", path});
        QVERIFY(exiftool.waitForFinished());
        const QJsonArray history =
            QJsonDocument::fromJson(exiftool.readAllStandardOutput())[0]["History"].toArray();
        QVERIFY2(history == expected, QJsonDocument(history).toJson().constData());
        QCOMPARE(TestPhotos::tag(path, "Xmp.xmp.Rating"), other ? "3" : QString());
        if (file.endsWith(".jpg"))
            QCOMPARE(segmentsBesidesXmp(photo), segmentsBesidesXmp(before));
        const PhotoMetadata read = readPhotoMetadata(path);
        QVERIFY(read.processedByCartaluz);
        QCOMPARE(read.processedWhen, entries[1].when);
        QCOMPARE(read.processedWhen.offsetFromUtc(), 0);
    }

    void appendRefused_data()
    {
        QTest::addColumn<QByteArray>("photo");
        const QByteArray jpeg = sourcePhoto();
        QTest::addRow("not a photo") << QByteArray("Obra 12, talud norte\n");
        QTest::addRow("damaged XMP packet") << withXmpSegment(jpeg, xmpPacket("<xmpMM:History>"));
        QTest::addRow("History a text")
            << withXmpSegment(jpeg, xmpPacket("<xmpMM:History>a</xmpMM:History>"));
        QTest::addRow("History unordered")
            << withXmpSegment(jpeg, xmpPacket("<xmpMM:History><rdf:Bag><rdf:li>a</rdf:li>"
                                              "</rdf:Bag></xmpMM:History>"));
    }

    void appendRefused()
    {
        QFETCH(QByteArray, photo);
        const QByteArray before = photo;
        QString error;
        QVERIFY(!appendHistoryEntry(
            photo, {"edited", "Cartaluz 9.1", QDateTime::currentDateTime(), ""}, error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(photo, before);
    }
};

QTEST_MAIN(TestSplice)
#include "tst_splice.moc"
