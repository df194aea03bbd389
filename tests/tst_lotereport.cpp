// The batch front end's photo report and KMZ, driven as a script would: the PDF read back with
// poppler's tools, the KMZ through GDAL's /vsizip/, and the report of a journal against the run's.
#include "testphotos.h"

#include <QImage>
#include <QRegularExpression>
#include <QtTest>

#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Where the made photos lie (33°27'0" S 70°39'36" W and 33°27'30" S 70°39'30" W) and the UTM
// positions gdaltransform gives for them.
const QString nameA = QStringLiteral("19H 345713 6297592");
const QString nameB = QStringLiteral("19H 345883 6296670");
constexpr double latA = -33.45, lonA = -70.66;
constexpr double latB = -(33.0 + 27.5 / 60.0), lonB = -(70.0 + 39.5 / 60.0);

struct Result
{
    int status = -1;
    QString out, err;
};

Result run(const QString &program, const QStringList &arguments,
           rlim_t fileSizeLimit = RLIM_INFINITY)
{
    QProcess process;
    process.setChildProcessModifier([fileSizeLimit] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Result lote(const QStringList &arguments, rlim_t fileSizeLimit = RLIM_INFINITY)
{
    return run(QStringLiteral(CARTALUZ_LOTE), arguments, fileSizeLimit);
}

// All a terminal shows of a run: its log and its progress line, on a pseudo-terminal.
QString onTerminal(const QStringList &arguments)
{
    std::vector<QByteArray> bytes{QByteArray(CARTALUZ_LOTE)};
    for (const QString &argument : arguments)
        bytes.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0)
        return {};
    if (child == 0) {
        execv(argv[0], argv.data());
        _exit(127);
    }
    QByteArray seen;
    char buffer[4096];
    for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;)
        seen.append(buffer, got);
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    return QString::fromUtf8(seen);
}

bool havePoppler()
{
    return run(QStringLiteral("pdfinfo"), {QStringLiteral("-v")}).status == 0;
}

int pageCount(const QString &pdf)
{
    const QString info = run(QStringLiteral("pdfinfo"), {pdf}).out;
    const QRegularExpressionMatch pages = QRegularExpression("Pages:\\s+(\\d+)").match(info);
    return pages.hasMatch() ? pages.captured(1).toInt() : -1;
}

QString pdfText(const QString &pdf)
{
    return run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}).out;
}

// Width × height of each embedded image, with its encoding ("1600x1200 jpeg").
QStringList pdfImages(const QString &pdf)
{
    QStringList images;
    const QStringList lines = run(QStringLiteral("pdfimages"), {"-list", pdf}).out.split('\n');
    for (const QString &line : lines.mid(2)) {
        const QStringList fields = line.simplified().split(' ');
        if (fields.size() > 8)
            images << fields.at(3) + 'x' + fields.at(4) + ' ' + fields.at(8);
    }
    return images;
}

// The pictures a report embeds, in page order.
QList<QImage> pdfPictures(const QString &pdf)
{
    const QString prefix = pdf + "-foto";
    run(QStringLiteral("pdfimages"), {"-j", pdf, prefix});
    QList<QImage> pictures;
    const QFileInfo info(prefix);
    for (const QString &name :
         QDir(info.path()).entryList({info.fileName() + "-*.jpg"}, QDir::Files, QDir::Name))
        pictures << QImage(info.path() + '/' + name).convertToFormat(QImage::Format_RGB32);
    return pictures;
}

// The worst mean difference of any 16 × 16 cell of two pictures, in levels of a channel.
double worstCell(const QImage &a, const QImage &b)
{
    double worst = 0;
    for (int cy = 0; cy + 16 <= a.height(); cy += 16)
        for (int cx = 0; cx + 16 <= a.width(); cx += 16) {
            double sum = 0;
            for (int y = cy; y < cy + 16; ++y)
                for (int x = cx; x < cx + 16; ++x) {
                    const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
                    sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) +
                           qAbs(qBlue(p) - qBlue(q));
                }
            worst = std::max(worst, sum / (3 * 256));
        }
    return worst;
}

// a: a large photo with heading 45, altitude and its clock's UTC offset; b elsewhere without
// heading, large and stored mirrored and turned a quarter (EXIF 5; upright it is 2400 × 3200);
// sub/c, small, at a's place with heading 200 from magnetic north; nogps without a position; all
// with capture dates.
void makeFolder(const QString &folder)
{
    QVERIFY(QDir().mkpath(folder + "/sub"));
    QVERIFY(TestPhotos::writeImage(folder + "/a.jpg", 3200, 2400));
    QVERIFY(TestPhotos::writeImage(folder + "/b.jpg", 3200, 2400));
    QVERIFY(TestPhotos::writeImage(folder + "/sub/c.jpg", 320, 240));
    QVERIFY(TestPhotos::writeImage(folder + "/nogps.jpg", 320, 240));
    const TestPhotos::Tags date{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"}};
    QVERIFY(TestPhotos::setTags(
        folder + "/a.jpg",
        date + TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W", "45/1") +
            TestPhotos::Tags{{"Exif.Photo.OffsetTimeOriginal", "-03:00"},
                             {"Exif.GPSInfo.GPSAltitude", "6125/10"},
                             {"Exif.GPSInfo.GPSAltitudeRef", "0"}}));
    QVERIFY(TestPhotos::setTags(
        folder + "/b.jpg", date +
                               TestPhotos::gpsTags("33/1 27/1 30/1", "S", "70/1 39/1 30/1", "W") +
                               TestPhotos::Tags{{"Exif.Image.Orientation", "5"}}));
    QVERIFY(TestPhotos::setTags(
        folder + "/sub/c.jpg",
        date + TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W", "200/1") +
            TestPhotos::Tags{{"Exif.GPSInfo.GPSImgDirectionRef", "M"}}));
    QVERIFY(TestPhotos::setTags(folder + "/nogps.jpg", date));
}

QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), TestPhotos::readFile(path));
    }
    return files;
}

// Each placemark of the KMZ by layer (folder) and name, as GDAL reads it.
QMap<QString, QPointF> placemarks(const QString &kmz)
{
    QMap<QString, QPointF> found;
    GDALAllRegister();
    const QByteArray path = ("/vsizip/" + kmz + "/doc.kml").toUtf8();
    std::unique_ptr<GDALDataset> data(
        GDALDataset::Open(path.constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    if (!data)
        return found;
    for (OGRLayer *layer : data->GetLayers()) {
        for (const auto &feature : *layer) {
            const OGRGeometry *geometry = feature->GetGeometryRef();
            if (!geometry || wkbFlatten(geometry->getGeometryType()) != wkbPoint)
                continue;
            const OGRPoint *point = geometry->toPoint();
            found.insert(QString::fromUtf8(layer->GetName()) + '/' +
                             QString::fromUtf8(feature->GetFieldAsString("Name")),
                         QPointF(point->getX(), point->getY()));
        }
    }
    return found;
}

// The number of points of each line in the KMZ.
QList<int> trackPoints(const QString &kmz)
{
    QList<int> lines;
    const QByteArray path = ("/vsizip/" + kmz + "/doc.kml").toUtf8();
    std::unique_ptr<GDALDataset> data(
        GDALDataset::Open(path.constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    if (!data)
        return lines;
    for (OGRLayer *layer : data->GetLayers())
        for (const auto &feature : *layer) {
            const OGRGeometry *geometry = feature->GetGeometryRef();
            if (geometry && wkbFlatten(geometry->getGeometryType()) == wkbLineString)
                lines << geometry->toLineString()->getNumPoints();
        }
    return lines;
}

QByteArray zipEntry(const QString &kmz, const QString &entry)
{
    const QByteArray path = ("/vsizip/" + kmz + '/' + entry).toUtf8();
    VSILFILE *file = VSIFOpenL(path.constData(), "rb");
    if (!file)
        return {};
    QByteArray bytes;
    char buffer[65536];
    for (size_t read; (read = VSIFReadL(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.append(buffer, qsizetype(read));
    VSIFCloseL(file);
    return bytes;
}

// A green raster over the made photos' area: in WGS84 degrees, or in UTM zone 19 south metres.
bool writeBasemap(const QString &path, int epsg)
{
    GDALAllRegister();
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName("GTiff");
    std::unique_ptr<GDALDataset> raster(
        driver->Create(path.toUtf8().constData(), 64, 64, 3, GDT_Byte, nullptr));
    if (!raster)
        return false;
    double transform[6] = {-70.68, 0.04 / 64, 0, -33.43, 0, -0.04 / 64};
    if (epsg != 4326) {
        const double utm[6] = {343000, 6000.0 / 64, 0, 6300500, 0, -6000.0 / 64};
        std::copy(utm, utm + 6, transform);
    }
    OGRSpatialReference reference;
    reference.importFromEPSG(epsg);
    raster->SetGeoTransform(transform);
    raster->SetSpatialRef(&reference);
    std::vector<GByte> band(64 * 64);
    for (int at = 1; at <= 3; ++at) {
        std::fill(band.begin(), band.end(), GByte(at == 2 ? 160 : 0));
        if (raster->GetRasterBand(at)->RasterIO(GF_Write, 0, 0, 64, 64, band.data(), 64, 64,
                                                GDT_Byte, 0, 0) != CE_None)
            return false;
    }
    return true;
}

} // namespace

class TestLoteReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!havePoppler())
            QSKIP("poppler-utils (pdfinfo, pdftotext, pdfimages) is not installed");
    }

    void reportAndKmz_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("pages"); // cover, photo pages, the page of photos without position
        QTest::addColumn<bool>("simulated");
        QTest::newRow("one a page, Letter")
            << QStringList{"--fotos-por-pagina", "1", "--papel", "carta", "-j", "2"} << 5 << false;
        QTest::newRow("two a page") << QStringList{} << 4 << false;
        QTest::newRow("four a page, dry run")
            << QStringList{"--fotos-por-pagina", "4", "--simular"} << 3 << true;
    }

    void reportAndKmz()
    {
        QFETCH(QStringList, options);
        QFETCH(int, pages);
        QFETCH(bool, simulated);
        QTemporaryDir dir;
        const QString folder = dir.filePath("obra"), pdf = dir.filePath("informe.pdf"),
                      kmz = dir.filePath("fotos.kmz");
        makeFolder(folder);
        // Three fixes of another day: drawn as a line, and no position for nogps.
        QVERIFY(TestPhotos::writeFile(
            dir.filePath("t.gpx"),
            "<gpx version=\"1.1\" xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>"
            "<trkpt lat=\"-33.449\" lon=\"-70.661\"><time>2020-01-01T10:00:00Z</time></trkpt>"
            "<trkpt lat=\"-33.452\" lon=\"-70.659\"><time>2020-01-01T10:01:00Z</time></trkpt>"
            "<trkpt lat=\"-33.457\" lon=\"-70.657\"><time>2020-01-01T10:02:00Z</time></trkpt>"
            "</trkseg></trk></gpx>"));
        const Result result = lote(
            options + QStringList{"--subdirectorios", "--titulo", "Obra Norte", "--informe", pdf,
                                  "--kmz", kmz, "--track", dir.filePath("t.gpx"), folder});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.err, QString());
        QVERIFY2(result.out.contains("Informe escrito: " + pdf + " (3 fotos)"),
                 qPrintable(result.out));

        QCOMPARE(pageCount(pdf), pages);
        const QString text = pdfText(pdf);
        QVERIFY(text.contains("Obra Norte"));
        for (const QString &name : {nameA, nameB})
            QVERIFY2(text.contains(name + ".jpg"), qPrintable(text));
        QCOMPARE(text.count("UTM 19H 345713 E 6297592 N"), 2);
        QCOMPARE(text.count("UTM 19H 345883 E 6296670 N"), 1);
        QVERIFY(text.contains("Altitud: 612.5 m"));
        QVERIFY(text.contains("Orientación: 45.0° (norte verdadero)"));
        QVERIFY(text.contains("Orientación: 200.0° (norte magnético)"));
        QVERIFY(text.contains("nogps.jpg: fuera del track"));
        QVERIFY(text.contains("Fecha: 15/03/2024 10:20:30 (UTC-03:00)"));
        QCOMPARE(text.count("Simulación"), simulated ? 5 : 0); // the summary and each photo
        // One image per placed photo, the large ones down to 1600 pixels and upright, as JPEG.
        QCOMPARE(pdfImages(pdf), QStringList({"1600x1200 jpeg", "1200x1600 jpeg", "320x240 jpeg"}));

        const QMap<QString, QPointF> points = placemarks(kmz);
        QCOMPARE(points.keys(),
                 QStringList({"Obra Norte/" + nameA + ".jpg", "Obra Norte/" + nameB + ".jpg",
                              "sub/" + nameA + ".jpg"}));
        const QPointF a = points.value("Obra Norte/" + nameA + ".jpg");
        const QPointF b = points.value("Obra Norte/" + nameB + ".jpg");
        QVERIFY(qAbs(a.x() - lonA) < 1e-6 && qAbs(a.y() - latA) < 1e-6);
        QVERIFY(qAbs(b.x() - lonB) < 1e-6 && qAbs(b.y() - latB) < 1e-6);
        const QString kml = QString::fromUtf8(zipEntry(kmz, "doc.kml"));
        QCOMPARE(kml.count("<heading>"), 2);
        QVERIFY(kml.contains("<when>2024-03-15T10:20:30-03:00</when>"));
        QCOMPARE(trackPoints(kmz), QList<int>{3});
        QVERIFY(kml.contains("<heading>45.0</heading>") &&
                kml.contains("<heading>200.0</heading>"));
        // Every picture a balloon shows, and the icon, are in the archive.
        QStringList shown;
        for (const auto &match :
             QRegularExpression("(?:src=\"|<href>)(files/[^\"<]+)").globalMatch(kml))
            shown << match.captured(1);
        QCOMPARE(shown.size(), 3 + 3);
        for (const QString &entry : shown)
            QVERIFY2(!QImage::fromData(zipEntry(kmz, entry)).isNull(), qPrintable(entry));
    }

    void basemap_data()
    {
        QTest::addColumn<int>("epsg"); // 0: none
        QTest::addColumn<bool>("green");
        QTest::newRow("none") << 0 << false;
        QTest::newRow("GeoTIFF in degrees") << 4326 << true;
        QTest::newRow("GeoTIFF in UTM metres") << 32719 << true;
    }

    // The raster is warped to the map: the cover's map turns green where it lies.
    void basemap()
    {
        QFETCH(int, epsg);
        QFETCH(bool, green);
        QTemporaryDir dir;
        const QString folder = dir.filePath("obra"), pdf = dir.filePath("informe.pdf");
        makeFolder(folder);
        QStringList options{"--informe", pdf, folder};
        if (epsg) {
            QVERIFY(writeBasemap(dir.filePath("base.tif"), epsg));
            options << "--mapa-base" << dir.filePath("base.tif");
        }
        QCOMPARE(lote(options).status, 0);
        QCOMPARE(run("pdftoppm", {"-f", "1", "-l", "1", "-r", "30", "-png", pdf, dir.filePath("p")})
                     .status,
                 0);
        const QImage cover(dir.filePath("p-1.png"));
        QVERIFY(!cover.isNull());
        qsizetype greenPixels = 0;
        for (int y = 0; y < cover.height(); ++y)
            for (int x = 0; x < cover.width(); ++x) {
                const QColor c = cover.pixelColor(x, y);
                greenPixels += c.red() < 40 && qAbs(c.green() - 160) < 40 && c.blue() < 40;
            }
        const double share = double(greenPixels) / (cover.width() * cover.height());
        QVERIFY2(green ? share > 0.3 : share == 0.0, qPrintable(QString::number(share)));
    }

    // The journal's report reads as the run's; a photo edited since then gets a note.
    void reportFromJournal()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("obra"), journal = dir.filePath("diario.jsonl");
        makeFolder(folder);
        QCOMPARE(lote({"--subdirectorios", "--diario", journal, "--informe",
                       dir.filePath("run.pdf"), folder})
                     .status,
                 0);
        QCOMPARE(lote({"--informe-de", journal, "--informe", dir.filePath("again.pdf"), "--kmz",
                       dir.filePath("again.kmz")})
                     .status,
                 0);
        const QString text = pdfText(dir.filePath("run.pdf"));
        QVERIFY(text.contains(nameB));
        QCOMPARE(pdfText(dir.filePath("again.pdf")), text);
        // The run took its large photos' pictures from the stamping, stamps and turn included;
        // afterwards they are read from the photos: they look the same.
        const QList<QImage> during = pdfPictures(dir.filePath("run.pdf"));
        const QList<QImage> after = pdfPictures(dir.filePath("again.pdf"));
        QCOMPARE(during.size(), 3);
        QCOMPARE(after.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(during[i].size(), after[i].size());
            const double worst = worstCell(during[i], after[i]);
            QVERIFY2(worst < 12, qPrintable(QString::number(worst)));
        }
        QCOMPARE(placemarks(dir.filePath("again.kmz")).size(), 3);

        const QString edited = folder + '/' + nameB + ".jpg";
        QVERIFY(TestPhotos::writeFile(edited, TestPhotos::readFile(edited) + "x"));
        QCOMPARE(lote({"--informe-de", journal, "--informe", dir.filePath("later.pdf")}).status, 0);
        QCOMPARE(
            pdfText(dir.filePath("later.pdf")).count("La foto ha cambiado desde la ejecución."), 1);

        // Moved as a whole, with one photo gone: its page says so, the others are still there.
        QVERIFY(QDir().rename(folder, dir.filePath("movida")));
        QVERIFY(QFile::remove(dir.filePath("movida/sub/") + nameA + ".jpg"));
        QVERIFY(QFile::copy(journal, dir.filePath("movida/Backup/diario.jsonl")));
        QCOMPARE(lote({"--informe-de", dir.filePath("movida/Backup/diario.jsonl"), "--informe",
                       dir.filePath("moved.pdf")})
                     .status,
                 0);
        const QString moved = pdfText(dir.filePath("moved.pdf"));
        QCOMPARE(moved.count("La foto ya no está en la carpeta."), 1);
        QCOMPARE(moved.count("Foto ausente"), 1);
        QCOMPARE(pdfImages(dir.filePath("moved.pdf")).size(), 2);
    }

    // On a terminal the documents are a step of their own on the progress line.
    void progressStep()
    {
        QTemporaryDir dir;
        makeFolder(dir.filePath("obra"));
        const QString seen = onTerminal({"--subdirectorios", "--informe", dir.filePath("i.pdf"),
                                         "--kmz", dir.filePath("f.kmz"), dir.filePath("obra")});
        const qsizetype step = seen.indexOf("Informe y KMZ: 3/3 fotos");
        QVERIFY2(step > seen.indexOf("Resumen:") && step < seen.indexOf("Informe escrito:"),
                 qPrintable(seen));
    }

    void refused_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("report there")
            << QStringList{"--informe", "EXISTING"} << 2 << "ya existe; no se sobrescribe";
        QTest::newRow("KMZ there")
            << QStringList{"--kmz", "EXISTING"} << 2 << "ya existe; no se sobrescribe";
        QTest::newRow("three a page") << QStringList{"--informe", "NEW", "--fotos-por-pagina", "3"}
                                      << 2 << "«3» no es 1, 2 ni 4";
        QTest::newRow("A3") << QStringList{"--informe", "NEW", "--papel", "a3"} << 2
                            << "papel desconocido";
        QTest::newRow("basemap no raster")
            << QStringList{"--informe", "NEW", "--mapa-base", "EXISTING"} << 2
            << "no se puede leer el ráster";
        QTest::newRow("basemap for the KMZ")
            << QStringList{"--kmz", "NEW", "--mapa-base", "EXISTING"} << 2
            << "--mapa-base: solo vale junto con --informe";
        QTest::newRow("raster with no place")
            << QStringList{"--informe", "NEW", "--mapa-base", "PNG"} << 2
            << "no tiene sistema de referencia";
        QTest::newRow("one file for both") << QStringList{"--informe", "NEW", "--kmz", "NEW"} << 2
                                           << "es el mismo archivo que --informe";
        QTest::newRow("journal, nothing to write")
            << QStringList{"--informe-de", "EXISTING"} << 2 << "falta --informe o --kmz";
        QTest::newRow("title alone")
            << QStringList{"--titulo", "X"} << 2 << "solo vale junto con --informe o --kmz";
        QTest::newRow("journal that is none")
            << QStringList{"--informe-de", "EXISTING", "--informe", "NEW"} << 2
            << "no es un diario de cartaluz-lote";
        QTest::newRow("full disk, report")
            << QStringList{"--informe", "NEW", "FULL"} << 1 << "no se puede escribir";
        QTest::newRow("full disk, KMZ")
            << QStringList{"--kmz", "NEW", "FULL"} << 1 << "no se puede escribir el KMZ";
    }

    // Nothing is touched before a refusal; a report that cannot be written leaves no file.
    void refused()
    {
        QFETCH(QStringList, options);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString folder = dir.filePath("obra"), existing = dir.filePath("ya.pdf"),
                      fresh = dir.filePath("nuevo.pdf");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(TestPhotos::writeImage(folder + "/b.jpg", 320, 240));
        QVERIFY(TestPhotos::setTags(
            folder + "/b.jpg", TestPhotos::gpsTags("33/1 27/1 30/1", "S", "70/1 39/1 30/1", "W")));
        QVERIFY(TestPhotos::writeFile(existing, "someone's"));
        // A full disk: the report of a run made before, whose own files are all written.
        const bool full = options.removeAll("FULL") > 0;
        if (full) {
            QCOMPARE(lote({"--diario", dir.filePath("diario"), folder}).status, 0);
            options << "--informe-de" << dir.filePath("diario");
        }
        QVERIFY(TestPhotos::writeImage(dir.filePath("plano.png")));
        options.replaceInStrings("PNG", dir.filePath("plano.png"));
        options.replaceInStrings("EXISTING", existing);
        options.replaceInStrings("NEW", fresh);
        if (!options.contains("--informe-de"))
            options << folder;
        const auto before = tree(folder);
        const Result result = lote(options, full ? 4000 : RLIM_INFINITY);
        QCOMPARE(result.status, status);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QCOMPARE(TestPhotos::readFile(existing), QByteArray("someone's"));
        QVERIFY(!QFileInfo::exists(fresh));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 full ? QStringList({"diario", "plano.png", "ya.pdf"})
                      : QStringList({"plano.png", "ya.pdf"}));
        QCOMPARE(tree(folder), before);
    }
};

QTEST_MAIN(TestLoteReport)
#include "tst_lotereport.moc"
