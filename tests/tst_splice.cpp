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
        QTest::addColumn<QByteArray>("packet"); // the XMP the photo starts with
        QTest::addColumn<int>("kept"); // entries of another program ahead of ours; -1: refused
        const QByteArray other = xmpPacket(otherEntry);
        QTest::addRow("JPEG after another program") << "a.jpg" << other << 1;
        QTest::addRow("JPEG without XMP") << "a.jpg" << QByteArray() << 0;
        QTest::addRow("PNG") << "a.png" << other << 1;
        QTest::addRow("TIFF") << "a.tif" << other << 1;
        QTest::addRow("not a photo") << "a.txt" << QByteArray() << -1;
        QTest::addRow("damaged XMP packet") << "a.jpg" << xmpPacket("<xmpMM:History>") << -1;
        QTest::addRow("History a text")
            << "a.jpg" << xmpPacket("<xmpMM:History>a</xmpMM:History>") << -1;
        QTest::addRow("History unordered")
            << "a.jpg" << xmpPacket("<xmpMM:History><rdf:Bag/></xmpMM:History>") << -1;
    }

    void appendHistory()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, packet);
        QFETCH(int, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        const bool jpeg = file.endsWith(".jpg");
        QByteArray photo = jpeg ? withXmpSegment(sourcePhoto(), packet) : "Obra 12";
        // Qt writes no ".txt" image, so that row keeps its text.
        if (!jpeg && TestPhotos::writeImage(path) && TestPhotos::setXmpPacket(path, packet))
            photo = TestPhotos::readFile(path);
        QVERIFY(TestPhotos::writeFile(path, photo));
        QVERIFY(!readPhotoMetadata(path).processedByCartaluz);

        // Two of ours, then another program's, which the reader looks past: action, agent,
        // parameters, when, and the moment as exiftool shows it.
        const QList<QStringList> entries{
            {"edited", "Cartaluz 9.1", "--prefijo P", "2026-03-14T09:26:53Z", "09:26:53+00:00"},
            {"edited", "Cartaluz 9.2", "", "2026-03-14T08:00:00-03:00", "08:00:00-03:00"},
            {"saved", "Otro 2.0", "x", "2026-03-14T23:59:59+05:30", "23:59:59+05:30"}};
        QStringList expected;
        if (kept > 0)
            expected << "saved|Otro 1.0||2025:01:02 03:04:05+01:00";
        const QByteArray before = photo;
        QString error;
        for (const QStringList &e : entries) {
            // As a run adds it: an edit of the photo's one parse, in one step where it can be.
            const HistoryEntry added{e[0], e[1], QDateTime::fromString(e[3], Qt::ISODate), e[2]};
            const MetadataWrite written =
                readPhotoMetadata(photo, path).snapshot.writeInto(photo, false, nullptr, &added);
            error = written.historyError;
            if (!written.historyWritten)
                break;
            expected << QStringList{e[0], e[1], e[2], "2026:03:14 " + e[4]}.join('|');
        }
        QCOMPARE(error.isEmpty(), kept >= 0);
        if (kept < 0) {
            QCOMPARE(photo, before);
            return;
        }
        if (jpeg) // every segment but the XMP one byte for byte
            QCOMPARE(withXmpSegment(photo, {}), withXmpSegment(before, {}));
        QVERIFY(TestPhotos::writeFile(path, photo));
        const PhotoMetadata read = readPhotoMetadata(path);
        QVERIFY(read.processedByCartaluz);
        QCOMPARE(read.processedWhen.toString(Qt::ISODate), entries[1][3]);
        QCOMPARE(TestPhotos::tag(path, "Xmp.xmp.Rating"), kept ? "3" : QString());

        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            QSKIP("exiftool is not installed (scripts/install-deps.sh installs it)");
        QProcess exiftool;
        exiftool.start("exiftool", {"-j", "-struct", "-XMP-xmpMM:History", path});
        QVERIFY(exiftool.waitForFinished());
        QStringList history;
        for (const QJsonValue &e :
             QJsonDocument::fromJson(exiftool.readAllStandardOutput())[0]["History"].toArray())
            history << QStringList{e["Action"].toString(), e["SoftwareAgent"].toString(),
                                   e["Parameters"].toString(), e["When"].toString()}
                           .join('|');
        QCOMPARE(history, expected);
    }

    // The history entry changes the packet's history alone: namespaces the metadata library
    // would rewrite (a photo's Microsoft namespace without its final slash) or does not know
    // (a drone's), and every property, read the same by another program before and after.
    void historyKeepsTheRestOfTheXmp()
    {
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            QSKIP("exiftool is not installed (scripts/install-deps.sh installs it)");
        const QByteArray packet =
            "<?xpacket begin='\xEF\xBB\xBF' id='W5M0MpCehiHzreSzNTczkc9d'?>"
            "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/"
            "22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
            "xmlns:MicrosoftPhoto='http://ns.microsoft.com/photo/1.0' "
            "xmlns:drone-dji='http://www.dji.com/drone-dji/1.0/' MicrosoftPhoto:Rating='75' "
            "drone-dji:GimbalYawDegree='+12.30'><MicrosoftPhoto:LastKeywordXMP><rdf:Bag>"
            "<rdf:li>obra</rdf:li></rdf:Bag></MicrosoftPhoto:LastKeywordXMP></rdf:Description>"
            "</rdf:RDF></x:xmpmeta>" +
            QByteArray(2000, ' ') + "\n<?xpacket end='w'?>";
        QTemporaryDir dir;
        const QString before = dir.filePath("antes.jpg"), after = dir.filePath("despues.jpg");
        QByteArray photo = withXmpSegment(sourcePhoto(), packet);
        QVERIFY(TestPhotos::writeFile(before, photo));
        const HistoryEntry entry{"edited", "Cartaluz 9.1", QDateTime::currentDateTime(), "-j 2"};
        QVERIFY(readPhotoMetadata(photo, before)
                    .snapshot.writeInto(photo, false, nullptr, &entry)
                    .historyWritten);
        QVERIFY(TestPhotos::writeFile(after, photo));
        // The segment keeps its size: the padding made room.
        QCOMPARE(photo.size(), TestPhotos::readFile(before).size());

        const auto dump = [](const QString &path) {
            QProcess exiftool;
            exiftool.start("exiftool", {"-a", "-G1", "-s", "-X", "-XMP:all", path});
            exiftool.waitForFinished();
            QStringList lines;
            for (const QString &line : QString(exiftool.readAllStandardOutput()).split('\n'))
                if (!line.contains("xmpMM") && !line.contains("History") &&
                    !line.contains("rdf:about"))
                    lines << line;
            return lines;
        };
        const QStringList was = dump(before);
        QVERIFY(was.join('\n').contains("75") && was.join('\n').contains("+12.30"));
        QCOMPARE(dump(after), was);
        QVERIFY(photo.contains("xmlns:MicrosoftPhoto='http://ns.microsoft.com/photo/1.0'"));
    }
};

QTEST_MAIN(TestSplice)
#include "tst_splice.moc"
