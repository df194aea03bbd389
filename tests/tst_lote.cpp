// The batch front end driven as a script would: the real executable, its options, statuses,
// dry run, upright painting, positions from a GPS track, the run's point layer read back through
// GDAL, and the same result whatever the number of workers.
#include "testphotos.h"

#include <QImage>
#include <QImageReader>
#include <QtTest>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>

namespace {

const QString utmName = QStringLiteral("19H 345713 6297592"); // 33.45 S, 70.66 W

struct Result
{
    int status = -1;
    QString out, err;
};

Result lote(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("DISPLAY");
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(CARTALUZ_LOTE), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A blue photo stored on its side, with a capture date and, when asked, the GPS position of
// utmName. A detailed one has fine stripes instead, at quality 95, so that a re-encoding shows
// in every block.
void makePhoto(const QString &path, bool withGps = true, bool detailed = false)
{
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(QColor(30, 60, 160));
    for (int y = 0; detailed && y < 240; ++y)
        for (int x = 0; x < 320; ++x)
            image.setPixel(x, y, qRgb(x * 7 % 256, (x + y) * 5 % 256, y * 11 % 256));
    QVERIFY(image.save(path, nullptr, detailed ? 95 : -1));
    TestPhotos::Tags tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"},
                          {"Exif.Image.Orientation", "6"}}; // upright: turned a quarter right
    if (withGps)
        tags += TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W", "45/1");
    QVERIFY(TestPhotos::setTags(path, tags));
}

// Every file under dir, by relative path, with a hash of its bytes.
QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(dir).relativeFilePath(file.fileName()),
                     QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5));
    }
    return files;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

// The JPEG's segments with this marker, one after another; for SOS (0xDA), all from the first
// scan on.
QByteArray segments(const QString &path, uchar marker)
{
    QFile file(path);
    const QByteArray jpeg = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    QByteArray found;
    for (qsizetype at = 2, size = 0; at + 4 <= jpeg.size(); at += 2 + size) {
        size = uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]);
        if (uchar(jpeg[at + 1]) == 0xDA)
            return marker == 0xDA ? jpeg.mid(at) : found;
        if (uchar(jpeg[at + 1]) == marker)
            found += jpeg.mid(at, 2 + size);
    }
    return found;
}

bool hasColour(const QString &path, const QColor &c)
{
    const QImage image = QImage(path).convertToFormat(QImage::Format_RGB32);
    const auto *pixels = reinterpret_cast<const QRgb *>(image.constBits());
    return std::any_of(pixels, pixels + image.width() * image.height(), [&c](QRgb p) {
        return qAbs(qRed(p) - c.red()) + qAbs(qGreen(p) - c.green()) + qAbs(qBlue(p) - c.blue()) <
               120;
    });
}

} // namespace

class TestLote : public QObject
{
    Q_OBJECT

private slots:
    void options_data()
    {
        QTest::addColumn<QString>("arguments"); // separated by spaces
        QTest::addColumn<QString>("result");    // the photo's file after the run
        QTest::addColumn<QString>("logLine");   // with a leading '!': a line the log must lack
        QTest::addColumn<QColor>("colour");     // a colour the written photo must hold
        const auto row = [](const char *name, const char *arguments, const QString &result,
                            const char *logLine, const QColor &colour) {
            QTest::newRow(name) << QString(arguments) << result << QString(logLine) << colour;
        };
        const QString renamed = utmName + ".jpg";
        const QColor noWhite(255, 255, 255, 0); // transparent: a colour the photo must lack
        row("defaults", "", renamed, "Backup creado: a_backup.jpg", Qt::white);
        row("no rename", "--sin-renombrar", "a.jpg", "Lat: -33.45", Qt::white);
        row("prefix", "--prefijo P_%1_", "P_%1_" + renamed, "a P_%1_", Qt::white);
        row("no backup, no rose", "--sin-backup --sin-rosa", renamed, "!rosa", Qt::white);
        row("no text", "--sin-texto --sin-rosa", renamed, "Nada que dibujar en 19H", noWhite);
        // Nothing drawn, but only the decoder turns the photo upright.
        row("upright, nothing drawn", "--orientar --sin-texto --sin-rosa", renamed, "!Nada que",
            noWhite);
        row("text colour", "--color-fuente lime --ratio-fuente 0.1 --sin-rosa", renamed, "Renombr",
            Qt::green);
        row("logo alone", "--logo logo.png --ratio-logo 0.3 --sin-texto --sin-rosa", renamed,
            "Renombrado", Qt::yellow);
        row("coordinate file into EXIF", "--txt coords.txt --txt-a-exif", "19K 300000 7000000.jpg",
            "Datos UTM escritos en EXIF para 19K 300000 7000000.jpg", Qt::white);
        row("upright", "--orientar --sin-renombrar", "a.jpg", "Lat: -33.45", Qt::white);
        row("subfolders", "--subdirectorios --sin-renombrar", "sub/b.jpg", "Procesando: b.jpg",
            Qt::white);
        row("sample file", "--ejemplo ej.txt --ejemplo-exif", "a.jpg", "Archivo de ejemplo",
            noWhite);
    }

    void options()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, result);
        QFETCH(QString, logLine);
        QFETCH(QColor, colour);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QDir().mkpath(folder + "/sub");
        makePhoto(folder + "/a.jpg");
        makePhoto(folder + "/sub/b.jpg");
        QVERIFY(TestPhotos::writeImage(dir.filePath("logo.png"), 40, 20, Qt::yellow));
        writeFile(dir.filePath("coords.txt"), "a.jpg,19,K,300000,7000000,90\n");
        for (const char *file : {"logo.png", "coords.txt", "ej.txt"})
            arguments.replace(file, dir.filePath(file));
        const Result run = lote(arguments.split(' ', Qt::SkipEmptyParts) << folder);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.err, QString());
        const bool absent = logLine.startsWith('!');
        QVERIFY2(run.out.contains(logLine.mid(absent ? 1 : 0)) != absent, qPrintable(run.out));
        QCOMPARE(hasColour(folder + '/' + result, colour), colour.alpha() != 0);
        QCOMPARE(QFileInfo::exists(folder + "/Backup"), run.out.contains("Backup creado"));
        const bool upright = arguments.contains("--orientar");
        QCOMPARE(QImage(folder + '/' + result).width(), upright ? 240 : 320);
        QCOMPARE(TestPhotos::tag(folder + '/' + result, "Exif.Image.Orientation"),
                 upright ? "1" : "6");
        if (arguments.contains("--ejemplo")) {
            QFile sample(dir.filePath("ej.txt"));
            QVERIFY(sample.open(QIODevice::ReadOnly) && sample.readAll().contains("\na.jpg,19,H,"));
        }
    }

    void keepsImageData_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("photo");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QString>("kept"); // "bytes", or the "stored" or "upright" top half
        const auto row = [](const char *arguments, const char *photo, const char *line,
                            const char *kept) {
            QTest::addRow("%s %s", photo, arguments)
                << QString(arguments) << QString(photo) << QString(line) << QString(kept);
        };
        row("--sin-texto --sin-rosa", "a.jpg",
            "Nada que dibujar en a.jpg: imagen conservada sin recodificar.", "bytes");
        row("--sin-perdidas", "a.jpg", "Estampado sin pérdidas en a.jpg: ", "stored");
        row("--sin-perdidas --orientar", "a.jpg", "Estampado sin pérdidas en a.jpg: ", "upright");
        row("--sin-perdidas", "a.png",
            "No se puede estampar sin pérdidas a.png (no es un JPEG); se recodifica.\n", "stored");
    }

    // The stamps go to the bottom corners as the photo is painted; the positions of a coordinate
    // file go into the EXIF whichever way the image data takes.
    void keepsImageData()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, photo);
        QFETCH(QString, logLine);
        QFETCH(QString, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath(photo);
        makePhoto(path, false, true);
        writeFile(dir.filePath("c.txt"), photo.toUtf8() + ",19,K,300000,7000000,90\n");
        const Result run = lote(arguments.split(' ', Qt::SkipEmptyParts)
                                << "--sin-renombrar"
                                << "--txt-a-exif"
                                << "--txt" << dir.filePath("c.txt") << dir.path());
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains(logLine), qPrintable(run.out));
        QCOMPARE(TestPhotos::tag(path, "Exif.GPSInfo.GPSLatitudeRef"), QString("S"));
        const QString backup = dir.filePath("Backup/a_backup." + QFileInfo(photo).suffix());
        const auto half = [&kept](const QString &file, int which) {
            QImageReader reader(file);
            reader.setAutoTransform(kept == "upright");
            const QImage image = reader.read();
            return image.copy(0, which * image.height() / 2, image.width(), image.height() / 2);
        };
        QCOMPARE(half(path, 0), half(backup, 0));
        QCOMPARE(half(path, 1) == half(backup, 1), kept == "bytes");
        if (photo.endsWith(".png"))
            return;
        QCOMPARE(segments(path, 0xDB), segments(backup, 0xDB)); // quantization tables
        QCOMPARE(segments(path, 0xE1).count(QByteArray("Exif\0\0", 6)), 1);
        QCOMPARE(TestPhotos::tag(path, "Exif.Image.Orientation"), QString("6"));
        if (kept == "bytes")
            QCOMPARE(segments(path, 0xDA), segments(backup, 0xDA));
    }

    void badValues_data()
    {
        QTest::addColumn<QString>("arguments"); // separated by spaces; DIR is a folder with a photo
        QTest::addColumn<QString>("message");
        const auto row = [](const char *arguments, const char *message) {
            QTest::newRow(arguments) << QString(arguments) << QString(message);
        };
        row("--ratio-rosa 0.6 DIR", "--ratio-rosa");
        row("--posicion-logo centro DIR", "--posicion-logo");
        row("--logo /nada/logo.png DIR", "--logo");
        row("-j 0 DIR", "--trabajos");
        row("-j -3 DIR", "--trabajos");
        row("-j 1500000000 DIR", "--trabajos"); // once hung the run
        row("--color-fuente nada DIR", "--color-fuente");
        row("--rapido DIR", "--rapido");
        row("DIR --logo", "--logo");
        row("--simular DIR/nada", "CARPETA");
        row("--txt DIR/a.jpg --track t.gpx DIR", "--track: no se combina con --txt");
        row("--track DIR/a.jpg DIR", "--track: No se pudo leer el track");
        row("--track DIR/a.jpg --zona-camara 2 DIR", "--zona-camara");
        row("--max-intervalo 60 DIR", "--max-intervalo: solo vale junto con --track");
        row("--capa DIR/capa.txt DIR", "--capa");
        row("--capa DIR/a.jpg.gpkg --ejemplo DIR/e.txt DIR", "--capa: no se combina");
    }

    void badValues()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        QTemporaryDir dir;
        makePhoto(dir.filePath("a.jpg"));
        const auto before = tree(dir.path());
        const Result run = lote(arguments.replace("DIR", dir.path()).split(' '));
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(tree(dir.path()), before);
    }

    // A dry run goes down the real road with every file operation only recorded, so it says line
    // for line what the real run then does, failed steps included, and touches nothing. In "a"
    // a file stands where the Backup folder would go; "b" has name collisions and a broken photo.
    void dryRunSaysWhatTheRunDoes()
    {
        QTemporaryDir dir;
        const QString a = dir.filePath("a"), b = dir.filePath("b");
        QVERIFY(QDir().mkpath(a) && QDir().mkpath(b));
        makePhoto(a + "/x.jpg");
        writeFile(a + "/Backup", "a file where the backup folder would go");
        for (const char *name : {"/p.jpg", "/q.jpg"})
            makePhoto(b + name);
        QVERIFY(QFile::copy(b + "/p.jpg", b + '/' + utmName + " (1).jpg"));
        writeFile(b + "/roto.jpg", "not a photo");
        const auto before = tree(dir.path());
        const Result plan = lote({"--simular", "--subdirectorios", "-j", "2", dir.path()});
        QCOMPARE(plan.status, 1);
        QCOMPARE(tree(dir.path()), before);
        const Result run = lote({"--subdirectorios", "-j", "2", dir.path()});
        QCOMPARE(run.status, 1);
        const auto body = [](const QString &out) {
            return out.left(out.lastIndexOf("\n\n"));
        };
        QCOMPARE(body(plan.out), body(run.out));
        for (const QString &line :
             QStringList{"Error creando backup de x.jpg\n\n",
                         "Renombrado: " + utmName + " (1).jpg a " + utmName + ".jpg\n",
                         "Renombrado: p.jpg a " + utmName + " (1).jpg\n",
                         "Renombrado: q.jpg a " + utmName + " (2).jpg\n",
                         "Error al abrir la imagen " + b + "/roto.jpg\n\n"})
            QVERIFY2(run.out.contains(line), qPrintable(run.out));
        QCOMPARE(tree(a), (QMap<QString, QByteArray>{{"Backup", before.value("a/Backup")},
                                                     {"x.jpg", before.value("a/x.jpg")}}));
        QCOMPARE(tree(b).value("roto.jpg"), before.value("b/roto.jpg"));
    }

    void trackAndLayer_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("workers");
        QTest::newRow("GeoPackage, one worker") << "capa.gpkg" << 1;
        QTest::newRow("GeoJSON, three workers") << "capa.geojson" << 3;
        QTest::newRow("KML, two workers") << "capa.kml" << 2;
    }

    // Track fixes 20 s apart around b's capture (10:20:30 at -03:00, the camera a minute fast);
    // c lies 30 s after the last fix, beyond a 20 s limit.
    void trackAndLayer()
    {
        QFETCH(QString, file);
        QFETCH(int, workers);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos"), layer = dir.filePath(file);
        QDir().mkpath(folder);
        writeFile(dir.filePath("t.gpx"),
                  "<gpx version=\"1.1\" xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>"
                  "<trkpt lat=\"-33.40\" lon=\"-70.60\"><time>2024-03-15T13:19:20Z</time></trkpt>"
                  "<trkpt lat=\"-33.41\" lon=\"-70.62\"><time>2024-03-15T13:19:40Z</time></trkpt>"
                  "</trkseg></trk></gpx>");
        makePhoto(folder + "/a.jpg");
        const TestPhotos::Tags zone{{"Exif.Photo.OffsetTimeOriginal", "-03:00"}};
        makePhoto(folder + "/b.jpg", false);
        makePhoto(folder + "/c.jpg", false);
        QVERIFY(TestPhotos::setTags(
            folder + "/b.jpg", zone + TestPhotos::Tags{{"Exif.GPSInfo.GPSImgDirection", "90/1"}}));
        QVERIFY(TestPhotos::setTags(
            folder + "/c.jpg",
            zone + TestPhotos::Tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:21:10"}}));
        writeFile(folder + "/roto.jpg", "not a photo");
        const Result run = lote({"--track", dir.filePath("t.gpx"), "--ajuste-reloj", "60",
                                 "--max-intervalo", "20", "--track-a-exif", "--posicion-fija",
                                 "--capa", layer, "-j", QString::number(workers), folder});
        QCOMPARE(run.status, 1); // roto.jpg
        QVERIFY2(
            run.out.contains(
                "\nPosición desde track para b.jpg: Lat -33.405000, Lon -70.610000 (hora UTC "
                "2024-03-15 13:19:30, entre los puntos de 13:19:20 y 13:19:40)\n"
                "Lat: -33.405, Lon: -70.61, Orientación: 90\n") &&
                run.out.contains("GPS no encontrados en EXIF para c.jpg. Usando coords fijas.\n"
                                 "Sin posición del track para c.jpg: fuera del track.\n"),
            qPrintable(run.out));

        const QMap<QString, QString> wanted{
            {"a.jpg", "2024-03-15T10:20:30|exif|45|-33.4500|-70.6600"},
            {"b.jpg", "2024-03-15T10:20:30|track|90|-33.4050|-70.6100"},
            {"c.jpg", "2024-03-15T10:21:10|fija||-36.1447|-69.0000"}};
        QStringList expected, rows;
        static const QRegularExpression listed("^Procesando: (.*)$",
                                               QRegularExpression::MultilineOption);
        for (const auto &match : listed.globalMatch(run.out))
            if (wanted.contains(match.captured(1)))
                expected << match.captured(1) + '|' + wanted[match.captured(1)];
        // GeoJSON readers would otherwise show an ISO 8601 text as a date in their own way.
        GDALAllRegister();
        const char *const asText[] = {"DATE_AS_STRING=YES", nullptr};
        const GDALDatasetUniquePtr data(
            GDALDataset::Open(QFile::encodeName(layer), GDAL_OF_VECTOR, nullptr,
                              file.endsWith(".geojson") ? asText : nullptr));
        QVERIFY(data && data->GetLayerCount() == 1);
        QCOMPARE(data->GetLayer(0)->GetSpatialRef()->GetAuthorityCode(nullptr), "4326");
        for (const auto &feature : *data->GetLayer(0)) {
            const auto field = [&feature](const char *name) {
                return QString(feature->GetFieldAsString(name));
            };
            const auto degrees = [](double value) {
                return QString::number(value, 'f', 4);
            };
            const OGRPoint *point = feature->GetGeometryRef()->toPoint();
            QCOMPARE(degrees(point->getY()) + degrees(point->getX()),
                     degrees(feature->GetFieldAsDouble("latitud")) +
                         degrees(feature->GetFieldAsDouble("longitud")));
            rows << QStringList{field("archivo"),       field("fecha"),
                                field("fuente"),        field("orientacion"),
                                degrees(point->getY()), degrees(point->getX())}
                        .join('|');
            // The final name is the UTM position the layer gives, and the photo is there under it.
            const QString finalName = field("archivo_final");
            QVERIFY2(
                finalName.startsWith(
                    QString("%1%2 %3 %4")
                        .arg(field("zona"), field("letra"),
                             QString::number(feature->GetFieldAsDouble("easting"), 'f', 0),
                             QString::number(feature->GetFieldAsDouble("northing"), 'f', 0))) &&
                    QFileInfo::exists(folder + '/' + finalName),
                qPrintable(finalName));
            const QString ref =
                TestPhotos::tag(folder + '/' + finalName, "Exif.GPSInfo.GPSLatitudeRef") +
                TestPhotos::tag(folder + '/' + finalName, "Exif.GPSInfo.GPSLongitudeRef");
            QCOMPARE(ref, field("fuente") == "fija" ? "" : "SW");
        }
        QCOMPARE(rows, expected);
        QCOMPARE(run.out.count("Posición GPS escrita en EXIF para "), 1);
        const QByteArray written = tree(dir.path()).value(file);
        QCOMPARE(lote({"--capa", layer, folder}).status, 2);
        QCOMPARE(tree(dir.path()).value(file), written);
    }

    void workersGiveTheSameTreeAndLog()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QList<QPair<QMap<QString, QByteArray>, Result>> results;
        for (const char *workers : {"1", "4"}) {
            QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder));
            for (int i = 0; i < 7; ++i)
                makePhoto(folder + "/p" + QString::number(i) + ".jpg", i % 3 != 0);
            writeFile(folder + "/roto.jpg", "not a photo");
            const Result run = lote({"-j", workers, folder});
            QCOMPARE(run.status, 1);
            QVERIFY2(run.out.contains("4 fotos procesadas, 4 omitidas, 1 con errores, 3 sin "
                                      "posición."),
                     qPrintable(run.out));
            results.append({tree(folder), run});
        }
        QCOMPARE(results[1].first, results[0].first);
        QCOMPARE(results[1].second.out, results[0].second.out);
        QVERIFY(results[0].first.contains("p0.jpg") && results[0].first.contains("roto.jpg"));
        QVERIFY(results[0].first.contains(utmName + " (3).jpg"));
    }
};

QTEST_MAIN(TestLote)
#include "tst_lote.moc"
