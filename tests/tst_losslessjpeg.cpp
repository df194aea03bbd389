// Lossless JPEG stamping on photos made with libjpeg in each input form: untouched MCUs decode to
// the same pixels, the stamps look as if painted on the decoded photo, tables and markers are the
// source's; unsuitable and damaged input, and the layer's turn into the stored orientation.
#include "jpegsegments.h"
#include "losslessjpeg.h"
#include "photoannotation.h"
#include "testphotos.h"

#include <QtGui>
#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <jpeglib.h>

using losslessjpeg::Outcome;

namespace {

// A photo of width × height with components (4: CMYK), luma sampled lumaH × lumaV and chroma 1 × 1,
// coded as coding says: any of "progressive", "restarts", "arithmetic" and "fitted" (Huffman
// tables fitted to the photo instead of the standard ones). With an APP1, an APP13 and a comment
// for the stamp to carry.
QByteArray makeJpeg(int width, int height, int components = 3, int lumaH = 2, int lumaV = 2,
                    const QString &coding = {})
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = components;
    c.in_color_space = components == 4 ? JCS_CMYK : components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    c.comp_info[0].h_samp_factor = lumaH;
    c.comp_info[0].v_samp_factor = lumaV;
    if (coding.contains("progressive"))
        jpeg_simple_progression(&c);
    c.restart_interval = coding.contains("restarts") ? 5 : 0;
    c.arith_code = coding.contains("arithmetic");
    c.optimize_coding = coding.contains("fitted");
    jpeg_start_compress(&c, TRUE);
    for (const auto &[marker, text] : {std::pair{JPEG_APP0 + 1, "Exif"},
                                       {JPEG_APP0 + 13, "Photoshop 3.0"},
                                       {JPEG_COM, "Quebrada"}})
        jpeg_write_marker(&c, marker, reinterpret_cast<const JOCTET *>(text), std::strlen(text));
    std::vector<JSAMPLE> row(size_t(width * components));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width * components; ++x)
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

// The segments before the first scan of one sort: 'm' metadata (APPn, COM), 'h' Huffman tables,
// 'c' the rest of the coding (quantization tables, frame header, restart interval).
QList<QByteArray> segments(const QByteArray &jpeg, char sort)
{
    QList<QByteArray> found;
    for (const JpegSegment &s : parseJpegLayout(jpeg).segments) {
        if ((s.kind != JpegSegmentKind::Coding ? 'm' : s.marker == 0xC4 ? 'h' : 'c') == sort)
            found << jpeg.mid(s.offset, s.size);
    }
    return found;
}

QImage decoded(const QByteArray &jpeg)
{
    return QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Luma distance for grey photos, the channels' mean distance otherwise.
double distance(QRgb a, QRgb b, bool grey = false)
{
    const double r = qRed(a) - qRed(b), g = qGreen(a) - qGreen(b), bl = qBlue(a) - qBlue(b);
    return grey ? std::abs(0.299 * r + 0.587 * g + 0.114 * bl)
                : (std::abs(r) + std::abs(g) + std::abs(bl)) / 3;
}

// A layer from transparentLayer with a translucent band, a faint square and a mark at the right
// edge.
QImage paintedLayer(QSize size)
{
    QImage layer = losslessjpeg::transparentLayer(size);
    QPainter painter(&layer);
    painter.fillRect(QRect(10, 10, size.width() / 2, 30), QColor(200, 40, 40, 150));
    painter.fillRect(QRect(size.width() / 3, size.height() / 2, 60, 40), QColor(0, 0, 0, 1));
    painter.fillRect(QRect(size.width() - 5, size.height() - 9, 5, 9), QColor(30, 60, 220));
    return layer;
}

} // namespace

class TestLosslessJpeg : public QObject
{
    Q_OBJECT

private slots:
    void stamp_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QSize>("mcu");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("says");
        const auto row = [](const char *name, const QByteArray &source, QSize mcu,
                            Outcome outcome = Outcome::Done, const char *says = "") {
            QTest::addRow("%s", name) << source << mcu << outcome << QString(says);
        };
        row("baseline 4:2:0", makeJpeg(320, 240), {16, 16});
        row("baseline 4:2:2", makeJpeg(320, 240, 3, 2, 1), {16, 8});
        row("baseline 4:4:4", makeJpeg(320, 240, 3, 1, 1), {8, 8});
        row("grayscale", makeJpeg(320, 240, 1, 1, 1), {8, 8});
        row("progressive 4:2:0", makeJpeg(320, 240, 3, 2, 2, "progressive"), {16, 16});
        row("fitted Huffman tables", makeJpeg(320, 240, 3, 2, 2, "fitted"), {16, 16});
        row("301 x 227, 4:2:0", makeJpeg(301, 227), {16, 16});
        row("progressive 4:2:2, 299 x 233, restarts",
            makeJpeg(299, 233, 3, 2, 1, "progressive restarts"), {16, 8});
        const QByteArray good = makeJpeg(320, 240);
        row("PNG", QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), {}, Outcome::NotSuitable,
            "no es un JPEG");
        row("CMYK", makeJpeg(320, 240, 4, 1, 1), {}, Outcome::NotSuitable, "CMYK");
        row("arithmetic coding", makeJpeg(320, 240, 3, 2, 2, "arithmetic"), {},
            Outcome::NotSuitable, "aritmética");
        row("cut in the header", good.left(200), {}, Outcome::Failed, "dañado");
        row("cut in the scan", good.left(good.size() * 2 / 3), {}, Outcome::Failed, "dañado");
    }

    void stamp()
    {
        QFETCH(QByteArray, source);
        QFETCH(QSize, mcu);
        QFETCH(Outcome, outcome);
        QFETCH(QString, says);
        const QImage before = decoded(source);
        const int width = before.isNull() ? 320 : before.width();
        const int height = before.isNull() ? 240 : before.height();
        QImage layer(width, height, QImage::Format_ARGB32_Premultiplied);
        layer.fill(Qt::transparent);
        AnnotationStyle style; // logo top left, text bottom right, rose bottom left
        style.textColor = QColor(255, 220, 40);
        style.logoRatio = 0.2;
        QImage logo(40, 20, QImage::Format_ARGB32);
        logo.fill(QColor(20, 160, 60, 160));
        paintAnnotations(layer, logo, style, QDateTime(QDate(2024, 3, 15), QTime(10, 20, 30)),
                         "UTM 19H 346575 6298959", 45, true, [](const QString &) {});
        // A mark in the top right corner, whose blocks reach past the edge of an odd-sized photo,
        // and a line one pixel wide in the last column of its blocks (and of the scan's spans).
        QPainter(&layer).fillRect(QRect(width - 6, 0, 6, 6), QColor(30, 60, 220));
        QPainter(&layer).fillRect(QRect(191, 100, 1, 16), Qt::white);

        const losslessjpeg::Result result = losslessjpeg::stamp(source, layer, (width + 1) / 2);
        const QImage half = result.picture;
        QCOMPARE(result.outcome, outcome);
        QVERIFY2(result.message.contains(says), qPrintable(result.message));
        if (outcome != Outcome::Done)
            return;
        QCOMPARE(segments(result.jpeg, 'c'), segments(source, 'c'));
        QCOMPARE(segments(result.jpeg, 'm'), segments(source, 'm'));
        // Standard Huffman tables stay standard; fitted ones are fitted again.
        const auto standard = segments(makeJpeg(320, 240), 'h');
        QCOMPARE(segments(result.jpeg, 'h') == standard, segments(source, 'h') == standard);

        QSet<QPoint> mcus;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (layer.pixel(x, y))
                    mcus.insert(QPoint(x / mcu.width(), y / mcu.height()));
        // Ordinary decoders interpolate subsampled chroma from the neighbouring sample, which
        // reaches one pixel into the MCUs beside a stamped one.
        const int reach = mcu.width() * mcu.height() > 64 ? 1 : 0;
        const auto nearStamp = [&](int x, int y) {
            for (const int dx : {-reach, reach})
                for (const int dy : {-reach, reach})
                    if (mcus.contains(QPoint((x + dx) / mcu.width(), (y + dy) / mcu.height())))
                        return true;
            return false;
        };
        const QImage after = decoded(result.jpeg);
        QImage expected = before;
        QPainter(&expected).drawImage(0, 0, layer);
        // Today's path: the layer painted on the decoded photo, encoded again at quality 90.
        QByteArray reencoded;
        QBuffer buffer(&reencoded);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && expected.save(&buffer, "JPEG", 90));
        const QImage today = decoded(reencoded);
        const bool grey = before.isGrayscale();
        qint64 untouched = 0, painted = 0;
        double error = 0, todayError = 0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (!nearStamp(x, y)) {
                    untouched += after.pixel(x, y) != before.pixel(x, y);
                } else if (qAlpha(layer.pixel(x, y)) > 0) {
                    ++painted;
                    error += distance(after.pixel(x, y), expected.pixel(x, y), grey);
                    todayError += distance(today.pixel(x, y), expected.pixel(x, y), grey);
                }
            }
        }
        QCOMPARE(untouched, 0);
        QVERIFY(distance(after.pixel(width - 1, 0), expected.pixel(width - 1, 0), grey) < 20);
        QVERIFY(distance(after.pixel(191, 108), expected.pixel(191, 108), true) < 20);
        const int blocksPerMcu = grey ? 1 : mcu.width() * mcu.height() / 64 + 2;
        QVERIFY(result.blocksReencoded > 0 && result.blocksReencoded <= mcus.size() * blocksPerMcu);
        // Under the stamps, the output is at least as near the layer painted over the decoded
        // photo as today's re-encode.
        QVERIFY(painted > 0 && error <= todayError);

        // The documents' pictures, stamps included: the stamped photo's means over 2 × 2, 4 × 4
        // or 8 × 8 pixels, the smallest reduction that reaches the long side asked for.
        QCOMPARE(half.size(), QSize((width + 1) / 2, (height + 1) / 2));
        for (const int factor : {2, 4, 8}) {
            const int side = (width + factor - 1) / factor;
            const QImage picture =
                factor == 2 ? half : losslessjpeg::stamp(source, layer, side).picture;
            QCOMPARE(picture.size(),
                     QSize((width + factor - 1) / factor, (height + factor - 1) / factor));
            double pictureError = 0;
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x) {
                    double sum[3] = {}, count = 0;
                    for (int sy = y * factor; sy < std::min(height, (y + 1) * factor); ++sy)
                        for (int sx = x * factor; sx < std::min(width, (x + 1) * factor); ++sx) {
                            const QRgb c = after.pixel(sx, sy);
                            sum[0] += qRed(c), sum[1] += qGreen(c), sum[2] += qBlue(c), ++count;
                        }
                    pictureError +=
                        distance(picture.pixel(x, y),
                                 qRgb(int(sum[0] / count + 0.5), int(sum[1] / count + 0.5),
                                      int(sum[2] / count + 0.5)),
                                 grey);
                }
            pictureError /= picture.width() * picture.height();
            QVERIFY2(pictureError < 3, qPrintable(QString::number(pictureError)));
        }
        QVERIFY(losslessjpeg::stamp(source, layer, width).picture.isNull()); // half is too small
    }

    void faintStamp_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addRow("4:4:4") << makeJpeg(160, 128, 3, 1, 1);
        QTest::addRow("4:2:0") << makeJpeg(160, 128);
        QTest::addRow("grayscale") << makeJpeg(160, 128, 1, 1, 1);
        QTest::addRow("progressive 4:2:2") << makeJpeg(160, 128, 3, 2, 1, "progressive");
    }

    // A stamp at 1/255 coverage changes no sample by more than a level, so blocks taken back to
    // samples and quantized again must decode within a level of the photo: the transform there
    // and back adds no rounding of its own.
    void faintStamp()
    {
        QFETCH(QByteArray, source);
        QImage layer(160, 128, QImage::Format_ARGB32_Premultiplied);
        const QRect faint(32, 32, 96, 64);
        layer.fill(Qt::transparent);
        QPainter(&layer).fillRect(faint, QColor(0, 0, 0, 1));
        const losslessjpeg::Result result = losslessjpeg::stamp(source, layer);
        QCOMPARE(result.outcome, Outcome::Done);
        QVERIFY(result.blocksReencoded >= 12 * 8);
        const QImage before = decoded(source), after = decoded(result.jpeg);
        double worst = 0, sum = 0;
        for (int y = faint.top(); y <= faint.bottom(); ++y) {
            for (int x = faint.left(); x <= faint.right(); ++x) {
                const double d = distance(after.pixel(x, y), before.pixel(x, y), true);
                sum += d;
            }
        }
        const double mean = sum / (faint.width() * faint.height());
        QVERIFY2(worst <= 1.0 + 1e-9 && mean <= 0.6,
                 qPrintable(QString("worst %1, mean %2").arg(worst).arg(mean)));
    }

    // Noise painted over a flat photo makes a file many times the original's size, which the
    // output must grow into without losing a byte.
    void noisyStamp()
    {
        QImage flat(QSize(480, 360), QImage::Format_RGB32);
        flat.fill(QColor(90, 120, 150));
        QByteArray source;
        QBuffer buffer(&source);
        QVERIFY(buffer.open(QIODevice::WriteOnly) && flat.save(&buffer, "JPEG", 95));
        QImage layer(flat.size(), QImage::Format_ARGB32_Premultiplied);
        QRandomGenerator random(5);
        for (int y = 0; y < layer.height(); ++y)
            for (int x = 0; x < layer.width(); ++x)
                layer.setPixel(
                    x, y,
                    qRgba(random.bounded(200), random.bounded(200), random.bounded(200), 200));
        const losslessjpeg::Result result = losslessjpeg::stamp(source, layer);
        QCOMPARE(result.outcome, Outcome::Done);
        QVERIFY(result.jpeg.size() > 2 * (source.size() + 65536));
        const QImage after = decoded(result.jpeg);
        QImage expected = decoded(source);
        QPainter(&expected).drawImage(0, 0, layer);
        QByteArray reencoded;
        QBuffer out(&reencoded);
        QVERIFY(out.open(QIODevice::WriteOnly) && expected.save(&out, "JPEG", 90));
        const QImage today = decoded(reencoded);
        double error = 0, todayError = 0;
        for (int y = 0; y < after.height(); ++y) {
            for (int x = 0; x < after.width(); ++x) {
                error += distance(after.pixel(x, y), expected.pixel(x, y));
                todayError += distance(today.pixel(x, y), expected.pixel(x, y));
            }
        }
        QVERIFY2(error <= todayError, qPrintable(QString("%1 > %2").arg(error).arg(todayError)));
    }

    void workerMemory_data()
    {
        QTest::addColumn<QList<QByteArray>>("photos");
        QTest::addRow("large 4:4:4, then small 4:2:0")
            << QList<QByteArray>{makeJpeg(640, 480, 3, 1, 1), makeJpeg(160, 120)};
        QTest::addRow("small, then large progressive, then grey")
            << QList<QByteArray>{makeJpeg(96, 64), makeJpeg(512, 384, 3, 2, 1, "progressive"),
                                 makeJpeg(200, 150, 1, 1, 1)};
    }

    // A worker keeps its coefficients' memory and the layers' between photos; each photo must come
    // out as from a worker that never stamped another, on a layer that starts transparent.
    void workerMemory()
    {
        QFETCH(QList<QByteArray>, photos);
        for (const QByteArray &source : photos) {
            const QSize size = decoded(source).size();
            QImage layer = paintedLayer(size);
            QByteArray fresh;
            std::thread([&] { fresh = losslessjpeg::stamp(source, layer).jpeg; }).join();
            const losslessjpeg::Result kept = losslessjpeg::stamp(source, layer);
            QCOMPARE(kept.outcome, Outcome::Done);
            QVERIFY(!fresh.isEmpty());
            QVERIFY(kept.jpeg == fresh);
            // A layer painted all over and let go leaves nothing on the next one.
            layer.fill(QColor(255, 255, 255, 200));
            layer = QImage();
            const QImage next = losslessjpeg::transparentLayer(size + QSize(8, 3));
            QImage clear(next.size(), QImage::Format_ARGB32_Premultiplied);
            clear.fill(Qt::transparent);
            QVERIFY(next == clear);
        }
    }

    void storedOrientation_data()
    {
        QTest::addColumn<int>("orientation");
        for (int orientation = 1; orientation <= 8; ++orientation)
            QTest::addRow("orientation %d", orientation) << orientation;
    }

    // Qt's reader, turning the stored photo upright by its tag, must give back the upright layer:
    // neither side a multiple of 8, and only two corners painted.
    void storedOrientation()
    {
        QFETCH(int, orientation);
        QImage upright(45, 30, QImage::Format_ARGB32_Premultiplied);
        upright.fill(Qt::transparent);
        QPainter(&upright).fillRect(0, 0, 16, 16, Qt::red);
        QPainter(&upright).fillRect(29, 14, 16, 16, Qt::blue);
        QTemporaryDir dir;
        const QString path = dir.filePath("stored.jpg");
        QVERIFY(losslessjpeg::toStoredOrientation(upright, orientation).save(path, "JPEG", 100));
        QVERIFY(
            TestPhotos::setTags(path, {{"Exif.Image.Orientation", QString::number(orientation)}}));
        QImageReader reader(path);
        reader.setAutoTransform(true);
        const QImage shown = reader.read();
        QCOMPARE(shown.size(), upright.size());
        for (const QPoint at : {QPoint(8, 8), QPoint(37, 22), QPoint(37, 6), QPoint(8, 22)})
            QVERIFY(distance(shown.pixel(at), upright.pixel(at)) < 20);
    }
};

QTEST_MAIN(TestLosslessJpeg)
#include "tst_losslessjpeg.moc"
