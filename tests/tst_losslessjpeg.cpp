// Lossless JPEG stamping on photos made with libjpeg in each input form: untouched MCUs decode to
// the same pixels, the stamps look as if painted on the decoded photo, tables and markers are the
// source's; unsuitable and damaged input, and the layer's turn into the stored orientation.
#include "losslessjpeg.h"
#include "photoannotation.h"
#include "testphotos.h"

#include <QtGui>
#include <QtTest>

#include <cmath>
#include <cstdlib>

#include <jpeglib.h>

using losslessjpeg::Outcome;

namespace {

struct Form
{
    int width = 320;
    int height = 240;
    int components = 3;
    int lumaH = 2; // luma sampling factors; chroma stays at 1 × 1
    int lumaV = 2;
    bool progressive = false;
    unsigned restartInterval = 0;
    bool arithmetic = false;
    bool cmyk = false;
    bool fittedTables = false; // Huffman tables fitted to the photo instead of the standard ones
};

QByteArray makeJpeg(const Form &form)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = JDIMENSION(form.width);
    c.image_height = JDIMENSION(form.height);
    c.input_components = form.cmyk ? 4 : form.components;
    c.in_color_space = form.cmyk ? JCS_CMYK : form.components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    c.comp_info[0].h_samp_factor = form.components == 3 ? form.lumaH : 1;
    c.comp_info[0].v_samp_factor = form.components == 3 ? form.lumaV : 1;
    if (form.progressive)
        jpeg_simple_progression(&c);
    c.restart_interval = form.restartInterval;
    c.arith_code = form.arithmetic;
    c.optimize_coding = form.fittedTables;
    jpeg_start_compress(&c, TRUE);
    // Enough of a profile for the metadata library: its length up front, its signature at 36.
    QByteArray icc(300, 'i');
    icc.replace(0, 4, QByteArray("\0\0\x01\x2c", 4)).replace(36, 4, "acsp");
    jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET *>(icc.constData()), icc.size());
    std::vector<JSAMPLE> row(size_t(form.width * c.input_components));
    for (int y = 0; y < form.height; ++y) {
        for (int x = 0; x < form.width * c.input_components; ++x)
            row[size_t(x)] =
                JSAMPLE(128 + 100 * std::sin(x * 0.037 + y * 0.11) * std::cos(y * 0.05));
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    const QByteArray jpeg(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return jpeg;
}

// The segments before the first scan whose marker passes keep, in order.
template <typename Keep> QList<QByteArray> segments(const QByteArray &jpeg, Keep keep)
{
    QList<QByteArray> kept;
    for (int at = 2;
         at + 4 <= jpeg.size() && uchar(jpeg[at]) == 0xFF && uchar(jpeg[at + 1]) != 0xDA;
         at += 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]))) {
        if (keep(uchar(jpeg[at + 1])))
            kept << jpeg.mid(at, 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3])));
    }
    return kept;
}

const auto appOrComment = [](uchar m) {
    return (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
};
// Quantization tables, frame header (size, sampling, baseline or progressive), restart interval.
const auto coding = [](uchar m) {
    return m == 0xDB || m == 0xDD || (m >= 0xC0 && m <= 0xCF && m != 0xC4);
};
const auto huffman = [](uchar m) {
    return m == 0xC4;
};

QImage decoded(const QByteArray &jpeg)
{
    return QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Channel distance for colour photos, luma distance for grey ones.
double distance(QRgb a, QRgb b, bool grey)
{
    const auto luma = [](QRgb p) {
        return 0.299 * qRed(p) + 0.587 * qGreen(p) + 0.114 * qBlue(p);
    };
    return grey ? std::abs(luma(a) - luma(b))
                : (std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                   std::abs(qBlue(a) - qBlue(b))) /
                      3.0;
}

} // namespace

Q_DECLARE_METATYPE(Form)

class TestLosslessJpeg : public QObject
{
    Q_OBJECT

private slots:
    // The made ICC profile is only a stand-in, which Qt's decoder reports on every read.
    void initTestCase() { QLoggingCategory::setFilterRules("qt.gui.icc=false"); }
    void stamp_data();
    void stamp();
    void refuses_data();
    void refuses();
    void storedOrientation_data();
    void storedOrientation();
};

void TestLosslessJpeg::stamp_data()
{
    QTest::addColumn<Form>("form");
    QTest::addRow("baseline 4:2:0") << Form{};
    QTest::addRow("baseline 4:2:2") << Form{320, 240, 3, 2, 1};
    QTest::addRow("baseline 4:4:4") << Form{320, 240, 3, 1, 1};
    QTest::addRow("grayscale") << Form{320, 240, 1};
    QTest::addRow("progressive 4:2:0") << Form{320, 240, 3, 2, 2, true};
    QTest::addRow("progressive grayscale") << Form{320, 240, 1, 1, 1, true};
    QTest::addRow("fitted Huffman tables") << Form{320, 240, 3, 2, 2, false, 0, false, false, true};
    QTest::addRow("restarts every 3 MCUs") << Form{320, 240, 3, 2, 2, false, 3};
    QTest::addRow("301 x 227, 4:2:0") << Form{301, 227};
    QTest::addRow("progressive 4:2:2, 299 x 233, restarts") << Form{299, 233, 3, 2, 1, true, 5};
}

void TestLosslessJpeg::stamp()
{
    QFETCH(Form, form);
    QTemporaryDir dir;
    const QString path = dir.filePath("source.jpg");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(makeJpeg(form)) > 0);
    file.close();
    QString tagError;
    QVERIFY2(TestPhotos::setTags(path,
                                 {{"Exif.Image.Make", "Banco"},
                                  {"Iptc.Application2.Caption", "Quebrada"},
                                  {"Xmp.dc.subject", "ladera"}},
                                 &tagError),
             qPrintable(tagError));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray source = file.readAll();
    file.close();

    QImage layer(form.width, form.height, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);
    AnnotationStyle style;
    style.fontPath = QCoreApplication::applicationDirPath() + "/notosans.ttf";
    style.textColor = QColor(255, 220, 40);
    style.logoRatio = 0.2;
    style.logoPosition = Corner::TopLeft;
    style.dateTimePosition = Corner::BottomLeft;
    style.coordinatesPosition = Corner::BottomLeft;
    style.rosePosition = Corner::TopRight;
    QImage logo(40, 20, QImage::Format_ARGB32);
    logo.fill(QColor(20, 160, 60, 160));
    paintAnnotations(layer, logo, style, QDateTime(QDate(2024, 3, 15), QTime(10, 20, 30)),
                     "UTM 19H 346575 6298959", 45, true, [](const QString &) {});
    // A mark in the corner, whose blocks reach past the photo's edge when its size is odd.
    QPainter(&layer).fillRect(QRect(form.width - 6, form.height - 6, 6, 6), QColor(30, 60, 220));

    const losslessjpeg::Result result = losslessjpeg::stamp(source, layer);
    QVERIFY2(result.outcome == Outcome::Done, qPrintable(result.message));
    QCOMPARE(segments(result.jpeg, coding), segments(source, coding));
    QCOMPARE(segments(result.jpeg, appOrComment), segments(source, appOrComment));
    // Standard Huffman tables stay standard; fitted ones are fitted again.
    const auto standard = segments(makeJpeg(Form{}), huffman);
    QCOMPARE(segments(result.jpeg, huffman) == standard, segments(source, huffman) == standard);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(result.jpeg) > 0);
    file.close();
    QCOMPARE(TestPhotos::tag(path, "Iptc.Application2.Caption"), QString("Quebrada"));

    // Ordinary decoders interpolate subsampled chroma from the neighbouring sample, which
    // reaches one pixel into the MCUs beside a stamped one.
    const int mcuW = form.components == 3 ? 8 * form.lumaH : 8;
    const int mcuH = form.components == 3 ? 8 * form.lumaV : 8;
    const int reach = mcuW * mcuH > 64 ? 1 : 0;
    const QImage before = decoded(source);
    const QImage after = decoded(result.jpeg);
    QImage expected = before;
    QPainter(&expected).drawImage(0, 0, layer);
    // Today's path: the layer painted on the decoded photo, encoded again at quality 90.
    QByteArray reencoded;
    QBuffer buffer(&reencoded);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && expected.save(&buffer, "JPEG", 90));
    const QImage today = decoded(reencoded);
    QSet<QPoint> mcus;
    for (int y = 0; y < form.height; ++y)
        for (int x = 0; x < form.width; ++x)
            if (layer.pixel(x, y))
                mcus.insert(QPoint(x / mcuW, y / mcuH));
    QRegion stampedArea;
    for (const QPoint &m : mcus)
        stampedArea +=
            QRect(m.x() * mcuW, m.y() * mcuH, mcuW, mcuH).adjusted(-reach, -reach, reach, reach);
    qint64 untouched = 0, painted = 0;
    double error = 0, todayError = 0;
    const bool grey = form.components == 1;
    for (int y = 0; y < form.height; ++y) {
        for (int x = 0; x < form.width; ++x) {
            if (!stampedArea.contains(QPoint(x, y))) {
                untouched += after.pixel(x, y) != before.pixel(x, y);
            } else if (qAlpha(layer.pixel(x, y)) > 0) {
                ++painted;
                error += distance(after.pixel(x, y), expected.pixel(x, y), grey);
                todayError += distance(today.pixel(x, y), expected.pixel(x, y), grey);
            }
        }
    }
    QCOMPARE(untouched, 0);
    const QPoint corner(form.width - 1, form.height - 1);
    QVERIFY(distance(after.pixel(corner), expected.pixel(corner), grey) < 20);
    const int blocksPerMcu = grey ? 1 : form.lumaH * form.lumaV + 2;
    QVERIFY(result.blocksReencoded > 0 && result.blocksReencoded <= mcus.size() * blocksPerMcu);
    // Under the stamps, the output is at least as near the layer painted over the decoded photo
    // as today's re-encode.
    QVERIFY2(
        painted > 0 && error <= todayError,
        qPrintable(QStringLiteral("%1 against %2").arg(error / painted).arg(todayError / painted)));
}

void TestLosslessJpeg::refuses_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("says");
    const QByteArray good = makeJpeg(Form{});
    QByteArray noHeight = good;
    const int sof = int(noHeight.indexOf("\xFF\xC0"));
    noHeight[sof + 5] = 0;
    noHeight[sof + 6] = 0;

    QTest::addRow("empty") << QByteArray() << Outcome::NotSuitable << QString("no es un JPEG");
    QTest::addRow("PNG") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << Outcome::NotSuitable
                         << QString("no es un JPEG");
    QTest::addRow("CMYK") << makeJpeg(Form{320, 240, 3, 1, 1, false, 0, false, true})
                          << Outcome::NotSuitable << QString("CMYK");
    QTest::addRow("arithmetic coding") << makeJpeg(Form{320, 240, 3, 2, 2, false, 0, true})
                                       << Outcome::NotSuitable << QString("aritmética");
    QTest::addRow("cut in the header") << good.left(200) << Outcome::Failed << QString("dañado");
    QTest::addRow("cut in the scan")
        << good.left(good.size() * 2 / 3) << Outcome::Failed << QString("dañado");
    QTest::addRow("progressive, cut") << makeJpeg(Form{320, 240, 3, 2, 2, true}).chopped(900)
                                      << Outcome::Failed << QString("dañado");
    QTest::addRow("height zero") << noHeight << Outcome::Failed << QString("dañado");
}

void TestLosslessJpeg::refuses()
{
    QFETCH(QByteArray, input);
    QFETCH(Outcome, outcome);
    QFETCH(QString, says);
    QImage layer(320, 240, QImage::Format_ARGB32_Premultiplied);
    layer.fill(QColor(200, 0, 0, 128));
    const losslessjpeg::Result result = losslessjpeg::stamp(input, layer);
    QCOMPARE(result.outcome, outcome);
    QVERIFY2(result.message.contains(says), qPrintable(result.message));
    QVERIFY(result.jpeg.isEmpty());
}

void TestLosslessJpeg::storedOrientation_data()
{
    QTest::addColumn<int>("orientation");
    for (int orientation = 1; orientation <= 8; ++orientation)
        QTest::addRow("orientation %d", orientation) << orientation;
}

// Qt's reader, turning the stored photo upright by its tag, must give back the upright layer.
void TestLosslessJpeg::storedOrientation()
{
    QFETCH(int, orientation);
    // Neither side a multiple of 8, and only two corners painted.
    QImage upright(45, 30, QImage::Format_ARGB32_Premultiplied);
    upright.fill(Qt::transparent);
    QPainter painter(&upright);
    painter.fillRect(0, 0, 16, 16, Qt::red);
    painter.fillRect(29, 14, 16, 16, Qt::blue);
    painter.end();

    QTemporaryDir dir;
    const QString path = dir.filePath("stored.jpg");
    QVERIFY(losslessjpeg::toStoredOrientation(upright, orientation).save(path, "JPEG", 100));
    QVERIFY(TestPhotos::setTags(path, {{"Exif.Image.Orientation", QString::number(orientation)}}));
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QImage shown = reader.read();
    QCOMPARE(shown.size(), upright.size());
    for (const QPoint at : {QPoint(8, 8), QPoint(37, 22), QPoint(37, 6), QPoint(8, 22)})
        QVERIFY2(qAbs(qRed(shown.pixel(at)) - qRed(upright.pixel(at))) < 30 &&
                     qAbs(qBlue(shown.pixel(at)) - qBlue(upright.pixel(at))) < 30,
                 qPrintable(QStringLiteral("at %1,%2").arg(at.x()).arg(at.y())));
}

QTEST_MAIN(TestLosslessJpeg)
#include "tst_losslessjpeg.moc"
