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

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString utmName = QStringLiteral("19H 345713 6297592"); // 33.45 S, 70.66 W

struct Result
{
    int status = -1;
    QString out, err;
};

// fileSizeLimit: bytes any file the run writes may hold (a full disk, for one process).
Result lote(const QStringList &arguments, rlim_t fileSizeLimit = RLIM_INFINITY)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("DISPLAY");
    process.setProcessEnvironment(environment);
    process.setChildProcessModifier([fileSizeLimit] {
        // A write past the limit then fails instead of killing the process.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
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

// Every file's permissions and modification time, by relative path.
QMap<QString, QString> attributes(const QString &dir)
{
    QMap<QString, QString> found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        found.insert(QDir(dir).relativeFilePath(info.filePath()),
                     QString::number(int(info.permissions()), 16) + ' ' +
                         info.lastModified().toString(Qt::ISODate));
    }
    return found;
}

bool setModified(const QString &path, const QDateTime &when)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(when, QFileDevice::FileModificationTime);
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
        row("upright, nothing drawn", "--recodificar --orientar --sin-texto --sin-rosa", renamed,
            "!Nada que", noWhite);
        row("text colour", "--color-fuente lime --ratio-fuente 0.1 --sin-rosa", renamed, "Renombr",
            Qt::green);
        row("logo alone", "--logo logo.png --ratio-logo 0.3 --sin-texto --sin-rosa", renamed,
            "Renombrado", Qt::yellow);
        row("coordinate file into EXIF", "--txt coords.txt --txt-a-exif", "19K 300000 7000000.jpg",
            "Datos UTM escritos en EXIF para 19K 300000 7000000.jpg", Qt::white);
        row("upright", "--recodificar --sin-renombrar", "a.jpg", "Lat: -33.45", Qt::white);
        row("as stored", "--recodificar --como-guardada --sin-renombrar", "a.jpg", "Lat: -33.45",
            Qt::white);
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
        const bool upright =
            arguments.contains("--recodificar") && !arguments.contains("--como-guardada");
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
        row("--sin-perdidas --como-guardada", "a.jpg",
            "Estampado sin pérdidas en a.jpg: ", "stored");
        row("--sin-perdidas", "a.jpg", "Estampado sin pérdidas en a.jpg: ", "upright");
        row("--sin-perdidas --como-guardada", "a.png",
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

    void keepsFormat_data()
    {
        QTest::addColumn<QString>("photo");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("written");
        QTest::addColumn<QImage::Format>("format");
        const auto row = [](const char *photo, const QStringList &options, const char *suffix,
                            QImage::Format format) {
            QTest::newRow(photo) << photo << options << utmName + suffix << format;
        };
        row("a.png", {}, ".png", QImage::Format_RGB32);
        row("a.TIF", {}, ".tif", QImage::Format_RGBX64); // 16 bits a channel
        row("a.tiff", {}, ".tiff", QImage::Format_RGBX64);
        row("b.tiff", {"--todo-jpeg"}, ".jpg", QImage::Format_RGB32);
    }

    // A renamed PNG or TIFF stays itself, its bit depth and its tags with it.
    void keepsFormat()
    {
        QFETCH(QString, photo);
        QFETCH(QStringList, options);
        QFETCH(QString, written);
        QFETCH(QImage::Format, format);
        QTemporaryDir dir;
        const QString path = dir.filePath(photo);
        QImage image(80, 60, photo.endsWith(".png") ? QImage::Format_RGB32 : QImage::Format_RGBX64);
        image.fill(QColor(30, 60, 160));
        QVERIFY(image.save(path, photo.endsWith(".png") ? "png" : "tiff"));
        QVERIFY(TestPhotos::setTags(
            path, TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W") +
                      TestPhotos::Tags{{"Exif.Image.Make", "Termo"}}));
        QCOMPARE(lote(options << dir.path()).status, 0);
        QCOMPARE(QImage(dir.filePath(written)).format(), format);
        QCOMPARE(TestPhotos::tag(dir.filePath(written), "Exif.Image.Make"), QString("Termo"));
        QVERIFY(hasColour(dir.filePath(written), Qt::white));
    }

    void positions_data()
    {
        QTest::addColumn<TestPhotos::Tags>("tags");
        QTest::addColumn<QString>("line");
        const auto gps = [](const char *latitude, const char *longitude) {
            return TestPhotos::Tags{{"Exif.GPSInfo.GPSLatitude", latitude},
                                    {"Exif.GPSInfo.GPSLatitudeRef", "N"},
                                    {"Exif.GPSInfo.GPSLongitude", longitude},
                                    {"Exif.GPSInfo.GPSLongitudeRef", "E"}};
        };
        QTest::newRow("0/0 seconds") << gps("48/1 5332358/100000 0/0", "21/1 259507/100000 0/0")
                                     << "Lat: 48.8887, Lon: 21.0433, Orientación: 0\n";
        QTest::newRow("0/0 minutes") << gps("48/1 0/0 0/1", "21/1 2/1 0/1")
                                     << "para a.jpg (Lat: nan, Lon: 21.0333): se toma como ausente";
        QTest::newRow("text, decimal commas")
            << gps("ascii:52,00000,50,00000,34,01180", "ascii:11,00000,10,00000,58,28360")
            << "Lat: 52.8428, Lon: 11.1829,";
        QTest::newRow("text, marks")
            << gps("ascii:52° 50' 34.08\"", "ascii:11.1829") << "Lat: 52.8428, Lon: 11.1829,";
        QTest::newRow("text, ambiguous") << gps("ascii:52,50,34", "ascii:11 10 58")
                                         << "a.jpg: coordenada GPS de tipo Ascii ilegible: "
                                            "«52,50,34». No se modifica.";
        QTest::newRow("text, not a coordinate")
            << gps("ascii:52.84 km", "ascii:11.1829")
            << "a.jpg: coordenada GPS de tipo Ascii ilegible: «52.84 km». No se modifica.";
        QTest::newRow("XMP only") << TestPhotos::Tags{{"Xmp.exif.GPSLatitude", "0,4.216S"},
                                                      {"Xmp.exif.GPSLongitude", "34,22.9E"},
                                                      {"Xmp.exif.GPSImgDirection", "1763/10"},
                                                      {"Xmp.exif.GPSImgDirectionRef", "M"}}
                                  << "Lat: -0.0702667, Lon: 34.3817, Orientación: 176.3, "
                                     "rumbo magnético, posición de XMP\n";
        QTest::newRow("magnetic, positioning error")
            << gps("60/1 8/1 0/1", "24/1 54/1 0/1") +
                   TestPhotos::Tags{{"Exif.GPSInfo.GPSImgDirection", "56/1"},
                                    {"Exif.GPSInfo.GPSImgDirectionRef", "M"},
                                    {"Exif.GPSInfo.GPSHPositioningError", "35/10"}}
            << "Orientación: 56, rumbo magnético, error ±3.5 m\n";
    }

    // Positions however cameras and editors store them; the stated error reaches the journal and
    // the layer.
    void positions()
    {
        QFETCH(TestPhotos::Tags, tags);
        QFETCH(QString, line);
        QTemporaryDir dir;
        const QString folder = dir.filePath("f"), layer = dir.filePath("capa.geojson");
        QVERIFY(QDir().mkpath(folder));
        makePhoto(folder + "/a.jpg", false);
        QVERIFY(TestPhotos::setTags(folder + "/a.jpg", tags));
        const Result run = lote({"--capa", layer, folder});
        QVERIFY2(run.out.contains(line), qPrintable(run.out));
        const bool error = line.contains("error ±");
        const QString journal =
            QDir(folder + "/Backup").entryInfoList({"*.jsonl"}).value(0).filePath();
        QCOMPARE(TestPhotos::readFile(journal).contains("\"error_m\":3.5"), error);
        QCOMPARE(TestPhotos::readFile(layer).contains("\"error_m\": 3.5"), error);
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
        row("--sincronizar 2024-05-01T10:00=2024-05-01T10:01 DIR",
            "--sincronizar: solo vale junto con --track");
        row("--track DIR/notas.txt --sincronizar 10:00=10:01 DIR",
            "Valor no válido para --sincronizar");
        row("--track DIR/notas.txt --sincronizar 2024-05-01T10:00=2024-05-01T10:01 --ajuste-reloj "
            "5 DIR",
            "--sincronizar: no se combina con --ajuste-reloj");
        row("--track DIR/notas.txt --max-hdop 0 DIR", "Valor no válido para --max-hdop");
        row("--track DIR/notas.txt --min-satelites muchos DIR",
            "Valor no válido para --min-satelites");
        row("--track DIR/notas.txt DIR", "ni un CSV cuya primera línea nombre las columnas");
        row("--track DIR/roto.gpx DIR",
            "roto.gpx: el GPX 1.1 está dañado: Premature end of document");
        row("--capa DIR/capa.txt DIR", "--capa");
        row("--capa DIR/a.jpg.gpkg --ejemplo DIR/e.txt DIR", "--capa: no se combina");
        row("--logo DIR/notas.txt DIR", "--logo: no se puede leer la imagen");
        row("--fuente DIR/notas.txt DIR", "--fuente: no se puede cargar la fuente");
        row("--txt /proc/self/mem DIR", "--txt: no se puede leer el archivo"); // reading fails
        row("--capa DIR/nada/c.gpkg DIR", "--capa: No existe la carpeta");
        row("--capa DIR/cerrada/c.gpkg DIR", "--capa: No se puede escribir en la carpeta");
        row("--ejemplo DIR/notas.txt DIR", "--ejemplo: el archivo");
        row("--deshacer DIR/notas.txt DIR", "--deshacer: no se combina con CARPETA");
        row("--deshacer DIR/notas.txt -j 2", "--deshacer: no se combina con -j");
        row("--simular --deshacer DIR/notas.txt", "no es un diario de cartaluz-lote");
    }

    void badValues()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        QTemporaryDir dir;
        makePhoto(dir.filePath("a.jpg"));
        writeFile(dir.filePath("notas.txt"), "a.jpg,19,H,1,2,3\n");
        writeFile(dir.filePath("roto.gpx"), "<gpx version=\"1.1\"><trk><trkseg><trkpt lat=\"4");
        QVERIFY(QDir(dir.path()).mkdir("cerrada"));
        const TestPhotos::ImmutableFile locked(dir.filePath("cerrada"));
        if (arguments.contains("cerrada") && !locked.isSet())
            QSKIP("chattr +i is not available here");
        const auto before = tree(dir.path());
        const Result run = lote(arguments.replace("DIR", dir.path()).split(' '));
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(tree(dir.path()), before);
    }

    void failedWrites_data()
    {
        QTest::addColumn<QString>("arguments"); // DIR: a folder of photos, OUT: a new file's stem
        QTest::addColumn<int>("limit");         // bytes a file may hold; 0: no PROJ database
        QTest::addColumn<QString>("message");
        QTest::newRow("sample file, disk full")
            << "--ejemplo OUT.txt DIR" << 100 << "Error al escribir el archivo de ejemplo";
        QTest::newRow("KML layer, disk full")
            << "--simular --capa OUT.kml DIR" << 1000 << "No se pudo escribir la capa";
        QTest::newRow("no reference systems") << "--simular --capa OUT.gpkg DIR" << 0 << "(PROJ";
        QTest::newRow("small photo, disk full")
            << "--sin-backup --sin-renombrar DIR" << 2048 << "Error guardando la imagen";
        // Renamed for the write, then given its name back.
        QTest::newRow("renamed photo, disk full")
            << "--sin-backup DIR" << 2048 << "0 fotos procesadas, 3 omitidas, 3 con errores";
    }

    // A file that could not be written whole is an error, never "created", and nothing of it
    // is left behind.
    void failedWrites()
    {
        QFETCH(QString, arguments);
        QFETCH(int, limit);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QDir().mkpath(folder);
        for (const char *name : {"a.jpg", "b.jpg", "c.jpg"})
            makePhoto(folder + '/' + name);
        const auto before = tree(folder);
        for (const char *variable : {"PROJ_DATA", "PROJ_LIB"})
            limit > 0 ? qunsetenv(variable) : qputenv(variable, "/nada");
        const Result run =
            lote(arguments.replace("DIR", folder).replace("OUT", dir.filePath("salida")).split(' '),
                 limit > 0 ? rlim_t(limit) : RLIM_INFINITY);
        for (const char *variable : {"PROJ_DATA", "PROJ_LIB"})
            qunsetenv(variable);
        QCOMPARE(run.status, 1);
        QVERIFY2((run.out + run.err).contains(message), qPrintable(run.out + run.err));
        QVERIFY(!run.out.contains("ejemplo creado") && !run.out.contains("Capa escrita"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(tree(folder), before);
    }

    // What the image libraries say of damaged photos stays off stderr and goes into the photo's
    // line; the good photo is done.
    void damagedPhotosKeepStderrClean()
    {
        QTemporaryDir dir;
        makePhoto(dir.filePath("a.jpg"));
        for (const char *name : {"t.tiff", "p.png"}) {
            QFile file(dir.filePath(name));
            QVERIFY(TestPhotos::writeImage(file.fileName(), 200, 100) &&
                    file.open(QFile::ReadWrite));
            const qint64 size = file.size();
            // A TIFF without its directory; a PNG whose header fails its check sum.
            QVERIFY(name[0] == 't' ? file.resize(size / 2) : file.seek(18) && file.putChar(0x7f));
        }
        const Result run = lote({"-j", "2", dir.path()});
        QCOMPARE(run.err, QString());
        QCOMPARE(run.status, 1);
        QVERIFY(QFileInfo::exists(dir.filePath(utmName + ".jpg")));
        QVERIFY2(run.out.contains("/p.png (libpng "), qPrintable(run.out));
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
        QVERIFY(plan.out.startsWith("Simulación: no se modificará ningún archivo"));
        QCOMPARE(body(plan.out.section('\n', 1)), body(run.out));
        for (const QString &line :
             QStringList{"Error creando backup de x.jpg\n\n",
                         "Renombrado: " + utmName + " (1).jpg a " + utmName + ".jpg\n",
                         "Renombrado: p.jpg a " + utmName + " (2).jpg\n",
                         "Renombrado: q.jpg a " + utmName + " (3).jpg\n",
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
        QTest::newRow("CSV, two workers") << "capa.csv" << 2;
    }

    void trackFormats_data()
    {
        QTest::addColumn<QString>("name"); // the track file's name
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<bool>("bareXmp"); // the photo's time only in XMP without an offset
        QTest::addColumn<QStringList>("lines");
        const auto sentence = [](const QByteArray &body) {
            unsigned char sum = 0;
            for (const char c : body)
                sum ^= static_cast<unsigned char>(c);
            return '$' + body + '*' + QByteArray::number(sum, 16).rightJustified(2, '0') + '\n';
        };
        const QByteArray nmea =
            sentence("GPRMC,132020,A,3324.000,S,07036.000,W,0,0,150324,,") +
            sentence("GPGGA,132020,3324.000,S,07036.000,W,1,08,0.9,510,M,0,M,,") +
            "$GPRMC,132030,A,3300.000,S,07000.000,W,0,0,150324,,*00\n" +
            sentence("GNRMC,132040,A,3324.600,S,07037.200,W,0,0,150324,,");
        const QByteArray csv = "time,lat,lon\n2024-03-15T13:20:20Z,-33.40,-70.60\n"
                               "2024-03-15T13:20:40Z,-33.41,-70.62\n";
        QTest::newRow("NMEA, a bad checksum counted")
            << "t.nmea" << nmea << QStringList{"--zona-camara", "-03:00"} << false
            << QStringList{"t.nmea (NMEA 0183): 2 puntos usados; se omiten 1 líneas o registros "
                           "dañados.\n",
                           "Posición desde track para a.jpg: Lat -33.405000, Lon -70.610000 "
                           "(Exif.Photo.DateTimeOriginal, hora UTC 2024-03-15 13:20:30, entre los "
                           "puntos de 13:20:20 y 13:20:40 de t.nmea)"};
        QTest::newRow("CSV, a drifting clock")
            << "t.csv" << csv
            << QStringList{"--zona-camara", "-03:00",
                           "--sincronizar", "2024:03:15 10:00:00=2024:03:15 10:00:00",
                           "--sincronizar", "2024:03:15 10:41:00=2024:03:15 10:41:20"}
            << false
            << QStringList{"Posición desde track para a.jpg: Lat -33.410000, Lon -70.620000 "
                           "(Exif.Photo.DateTimeOriginal, hora UTC 2024-03-15 13:20:40, punto de "
                           "13:20:40 de t.csv)"};
        QTest::newRow("location history, its accuracy as the error")
            << "historial.json"
            << QByteArray("{\"locations\": [{\"latitudeE7\": -334000000, \"longitudeE7\": "
                          "-706000000, \"accuracy\": 12, \"timestamp\": \"2024-03-15T13:20:20Z\"},"
                          " {\"latitudeE7\": -334100000, \"longitudeE7\": -706200000, "
                          "\"accuracy\": 20, \"timestamp\": \"2024-03-15T13:20:40Z\"}]}")
            << QStringList{"--zona-camara", "-03:00"} << false
            << QStringList{"de historial.json)\nLat: -33.405, Lon: -70.61, Orientación: 0, "
                           "error ±20 m\n"};
        QTest::newRow("bare XMP time, offset from IPTC")
            << "t.csv" << csv << QStringList() << true
            << QStringList{"Posición desde track para a.jpg: Lat -33.405000, Lon -70.610000 "
                           "(Xmp.photoshop.DateCreated, desfase de Iptc.Application2.TimeCreated, "
                           "hora UTC 2024-03-15 13:20:30, entre los puntos de 13:20:20 y 13:20:40 "
                           "de t.csv)"};
    }

    // Any track format in a run: the file's line, and each photo's line naming its fixes.
    void trackFormats()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QStringList, options);
        QFETCH(bool, bareXmp);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QDir().mkpath(folder);
        writeFile(dir.filePath(name), content);
        if (bareXmp)
            QVERIFY(TestPhotos::writeImage(folder + "/a.jpg") &&
                    TestPhotos::setTags(folder + "/a.jpg",
                                        {{"Xmp.photoshop.DateCreated", "2024-03-15T10:20:30"},
                                         {"Iptc.Application2.DateCreated", "2024-03-15"},
                                         {"Iptc.Application2.TimeCreated", "10:20:30-03:00"}}));
        else
            makePhoto(folder + "/a.jpg", false);
        const Result run =
            lote(QStringList{"--track", dir.filePath(name)} + options + QStringList{folder});
        QCOMPARE(run.status, 0);
        for (const QString &line : lines)
            QVERIFY2(run.out.contains(line), qPrintable(run.out));
    }

    // Track fixes 20 s apart around b's capture (10:20:30 at -03:00, the camera a minute fast),
    // with an impossible fix between them; c lies 30 s after the last fix, beyond a 20 s limit, so
    // it is left as it was and is in the layer without geometry; d was edited (its
    // Exif.Image.DateTime would lie outside the track) and is placed by the time and offset its XMP
    // states.
    void trackAndLayer()
    {
        QFETCH(QString, file);
        QFETCH(int, workers);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos"), layer = dir.filePath(file);
        QDir().mkpath(folder);
        writeFile(dir.filePath("t.gpx"),
                  "<gpx version=\"1.1\" xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>"
                  "<trkpt lat=\"-33.40\" lon=\"-70.60\"><ele>500</ele><time>2024-03-15T13:19:20Z"
                  "</time></trkpt><trkpt lat=\"95\" lon=\"0\"><time>2024-03-15T13:19:30Z</time>"
                  "</trkpt><trkpt lat=\"-33.41\" lon=\"-70.62\"><ele>520</ele><time>2024-03-15T"
                  "13:19:40Z</time></trkpt></trkseg></trk></gpx>");
        makePhoto(folder + "/a.jpg");
        const TestPhotos::Tags zone{{"Exif.Photo.OffsetTimeOriginal", "-03:00"}};
        makePhoto(folder + "/b.jpg", false);
        makePhoto(folder + "/c.jpg", false);
        QVERIFY(TestPhotos::setTags(
            folder + "/b.jpg", zone + TestPhotos::Tags{{"Exif.GPSInfo.GPSImgDirection", "90/1"}}));
        QVERIFY(TestPhotos::setTags(
            folder + "/c.jpg",
            zone + TestPhotos::Tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:21:10"}}));
        QVERIFY(TestPhotos::writeImage(folder + "/d.jpg") &&
                TestPhotos::setTags(folder + "/d.jpg",
                                    {{"Exif.Image.DateTime", "2024:03:15 10:20:30"},
                                     {"Xmp.photoshop.DateCreated", "2024-03-15T10:20:40-03:00"}}));
        writeFile(folder + "/roto.jpg", "not a photo");
        const QByteArray unplaced = tree(folder).value("c.jpg");
        const Result run =
            lote({"--track", dir.filePath("t.gpx"), "--ajuste-reloj", "60", "--max-intervalo", "20",
                  "--track-a-exif", "--capa", layer, "-j", QString::number(workers), folder});
        QCOMPARE(run.status, 1); // roto.jpg
        QCOMPARE(tree(folder).value("c.jpg"), unplaced);
        for (const char *line :
             {"t.gpx (GPX 1.1): 2 puntos usados; se omiten 1 puntos con coordenadas imposibles.\n",
              "Resumen: 3 fotos procesadas, 2 omitidas, 1 con errores, 1 sin posición.\n",
              "\nCapa escrita: ", " (3 puntos, 1 fotos sin posición)\n",
              "\nPosición desde track para b.jpg: Lat -33.405000, Lon -70.610000 (Exif.Photo."
              "DateTimeOriginal, hora UTC 2024-03-15 13:19:30, entre los puntos de 13:19:20 y "
              "13:19:40 de t.gpx)\nLat: -33.405, Lon: -70.61, Orientación: 90\n",
              "\nSin posición del track para c.jpg: fuera del track (Exif.Photo.DateTimeOriginal, "
              "hora UTC 2024-03-15 13:20:10). No se modifica.\n",
              "Posición desde track para d.jpg: Lat -33.410000, Lon -70.620000 (Xmp.photoshop."
              "DateCreated, hora UTC 2024-03-15 13:19:40, punto de 13:19:40 de t.gpx)\n"})
            QVERIFY2(run.out.contains(QString::fromUtf8(line)), qPrintable(run.out));

        // The journal says which file and fixes placed a photo.
        const QString journal =
            QDir(folder + "/Backup").entryInfoList({"*.jsonl"}).value(0).filePath();
        QVERIFY(TestPhotos::readFile(journal).contains(
            "\"puntos_track\":[\"2024-03-15T13:19:20.000Z\",\"2024-03-15T13:19:40.000Z\"],"
            "\"track\":\"" +
            dir.filePath("t.gpx").toUtf8() + '"'));

        // The track's position goes into the EXIF with its height and UTC time.
        const QMap<QString, QString> wanted{
            {"a.jpg", "2024-03-15T10:20:30|exif|45|-33.4500|-70.6600|"},
            {"b.jpg", "2024-03-15T10:20:30-03:00|track|90|-33.4050|-70.6100|"
                      "0 51000/100 13/1 19/1 30000/1000 2024:03:15 WGS-84"},
            {"c.jpg", "2024-03-15T10:21:10-03:00|sin posición: fuera del track||||"},
            {"d.jpg", "2024-03-15T10:20:30|track||-33.4100|-70.6200|"
                      "0 52000/100 13/1 19/1 40000/1000 2024:03:15 WGS-84"}};
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
            const OGRGeometry *geometry = feature->GetGeometryRef();
            const OGRPoint *point = geometry ? geometry->toPoint() : nullptr;
            const QString position =
                point ? degrees(point->getY()) + '|' + degrees(point->getX()) : "|";
            QCOMPARE(position, field("latitud").isEmpty()
                                   ? "|"
                                   : degrees(feature->GetFieldAsDouble("latitud")) + '|' +
                                         degrees(feature->GetFieldAsDouble("longitud")));
            const QString written = folder + '/' + field("archivo_final");
            QStringList gps;
            for (const char *key :
                 {"GPSAltitudeRef", "GPSAltitude", "GPSTimeStamp", "GPSDateStamp", "GPSMapDatum"})
                gps << TestPhotos::tag(written, QString("Exif.GPSInfo.") + key);
            rows << QStringList{field("archivo"),     field("fecha"), field("fuente"),
                                field("orientacion"), position,       gps.join(' ').trimmed()}
                        .join('|');
            // The final name is the UTM position the layer gives (a photo without one keeps its
            // own), and the photo is there under it.
            const QString finalName = field("archivo_final");
            QVERIFY2(
                finalName.startsWith(
                    point ? QString("%1%2 %3 %4")
                                .arg(field("zona"), field("letra"),
                                     QString::number(feature->GetFieldAsDouble("easting"), 'f', 0),
                                     QString::number(feature->GetFieldAsDouble("northing"), 'f', 0))
                          : field("archivo")) &&
                    QFileInfo::exists(folder + '/' + finalName),
                qPrintable(finalName));
            const QString ref =
                TestPhotos::tag(folder + '/' + finalName, "Exif.GPSInfo.GPSLatitudeRef") +
                TestPhotos::tag(folder + '/' + finalName, "Exif.GPSInfo.GPSLongitudeRef");
            QCOMPARE(ref, point ? "SW" : "");
        }
        QCOMPARE(rows, expected);
        QCOMPARE(run.out.count("Posición GPS escrita en EXIF para "), 2);
        QFile text(layer);
        QVERIFY(text.open(QIODevice::ReadOnly));
        QCOMPARE(text.readAll().count("<when>2024-03-15T10:20:30-03:00</when>"),
                 file.endsWith(".kml") ? 1 : 0);
        const QByteArray written = tree(dir.path()).value(file);
        QCOMPARE(lote({"--capa", layer, folder}).status, 2);
        QCOMPARE(tree(dir.path()).value(file), written);
    }

    // One folder with a good photo beside each case the window would lose data on: the run goes
    // to the end, the good photos are stamped, and every other file keeps its bytes and name.
    void safeByDefault()
    {
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(QDir().mkpath(root + "/sub/Backup") && QDir().mkpath(root + "/noBackup"));
        makePhoto(root + "/good.jpg");
        makePhoto(root + '/' + utmName + ".jpg"); // already named after its position
        makePhoto(root + "/nogps.jpg", false);
        makePhoto(root + "/nan.jpg", false);
        QVERIFY(TestPhotos::setTags(root + "/nan.jpg",
                                    TestPhotos::gpsTags("0/0 0/0 0/0", "S", "0/0 0/0 0/0", "W")));
        writeFile(root + "/roto.jpg", "not a photo");
        // A PNG whose compressed text chunk holds no deflate data: the decoder skips it, the
        // metadata reader fails on it.
        QVERIFY(TestPhotos::writeImage(root + "/meta.png"));
        QByteArray png;
        {
            QFile file(root + "/meta.png");
            QVERIFY(file.open(QIODevice::ReadWrite));
            png = file.readAll();
            const QByteArray text("Comment\0\0\x78\x9cgarbage", 18);
            png.insert(33, QByteArray::fromHex("00000012") + "zTXt" + text + QByteArray(4, 0));
            QVERIFY(file.seek(0) && file.write(png) == png.size());
        }
        // A PNG whose header reads but whose image data fails its check sum.
        QVERIFY(TestPhotos::writeImage(root + "/datos.png") &&
                TestPhotos::setTags(root + "/datos.png",
                                    TestPhotos::gpsTags("33/1 0/1 0/1", "S", "70/1 0/1 0/1", "W")));
        {
            QFile file(root + "/datos.png");
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.size() - 20));
            QVERIFY(file.putChar(0x55));
        }
        makePhoto(root + "/sub/Backup/old_backup.jpg");
        makePhoto(root + "/noBackup/y.jpg");
        writeFile(root + "/noBackup/Backup", "a file where the backup folder would go");
        const auto before = tree(root);

        const Result run = lote({"--subdirectorios", "-j", "2", root});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.out.contains("2 fotos procesadas, 6 omitidas, 4 con errores, 2 sin posición."),
                 qPrintable(run.out));
        for (const QString &line : QStringList{
                 "Ya lleva su nombre UTM: " + utmName + ".jpg",
                 "Renombrado: good.jpg a " + utmName + " (1).jpg",
                 "Sin posición para nogps.jpg: no hay datos GPS en EXIF. No se modifica.",
                 "Posición GPS no válida en EXIF para nan.jpg (Lat: nan, Lon: nan): se toma como "
                 "ausente.",
                 "Error al abrir la imagen " + root + "/roto.jpg",
                 "Error al abrir la imagen " + root + "/datos.png",
                 "Error leyendo metadata original para meta.png", "Error creando backup de y.jpg"})
            QVERIFY2(run.out.contains(line), qPrintable(line));
        QVERIFY(!run.out.contains("old_backup.jpg"));
        const auto after = tree(root);
        for (const char *kept : {"nogps.jpg", "nan.jpg", "roto.jpg", "meta.png", "datos.png",
                                 "sub/Backup/old_backup.jpg", "noBackup/y.jpg"})
            QCOMPARE(after.value(kept), before.value(kept));
        QVERIFY(after.value(utmName + ".jpg") != before.value(utmName + ".jpg"));
        QVERIFY(after.contains(utmName + " (1).jpg") && !after.contains("good.jpg"));
        QVERIFY(hasColour(root + '/' + utmName + ".jpg", Qt::white)); // stamped

        // The window's made-up position, asked for: photos without one are named after it. A
        // photo named after its position keeps even a numbered name.
        const Result fixed = lote({"--posicion-fija", "--sin-texto", "--sin-rosa", root});
        QVERIFY(fixed.out.contains("Renombrado: nan.jpg a 19J 500000 6000000.jpg") &&
                fixed.out.contains("Renombrado: nogps.jpg a 19J 500000 6000000 (1).jpg"));
    }

    void heifPhotos_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("written"); // empty: a damaged HEIC, left as it is
        QTest::newRow("UTM name") << QStringList() << utmName + ".jpg";
        QTest::newRow("own name, quality 70")
            << QStringList{"--sin-renombrar", "--calidad", "70"} << "IMG_0001.jpg";
        QTest::newRow("damaged") << QStringList() << QString();
    }

    // A phone's HEIC, made by libheif's own encoder from an upright JPEG, comes back as a stamped
    // JPEG with its date, position and heading; the HEIC goes to Backup as it was, and back.
    void heifPhotos()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, written);
        QTemporaryDir dir;
        const QString source = dir.filePath("source.jpg"), heic = dir.filePath("f/IMG_0001.HEIC");
        QVERIFY(QDir().mkpath(dir.filePath("f")));
        makePhoto(source);
        QVERIFY(TestPhotos::setTags(source, {{"Exif.Image.Orientation", "1"}}));
        QCOMPARE(QProcess::execute("heif-enc", {"-q", "60", source, "-o", heic}), 0);
        if (written.isEmpty())
            QVERIFY(TestPhotos::writeFile(heic, TestPhotos::readFile(heic).left(400)));
        const auto before = tree(dir.filePath("f"));

        const Result run = lote(options << dir.filePath("f"));
        if (written.isEmpty()) {
            QVERIFY2(run.out.contains("Error al abrir la imagen " + heic + " (HEIF: "),
                     qPrintable(run.out));
            QCOMPARE(tree(dir.filePath("f")).value("IMG_0001.HEIC"), before.value("IMG_0001.HEIC"));
            return;
        }
        QCOMPARE(run.status, 0);
        const QString jpeg = dir.filePath("f/" + written);
        QCOMPARE(QImageReader(jpeg).format(), QByteArray("jpeg"));
        // The tables of the quality asked for, 92 unless given.
        QVERIFY(QImage(8, 8, QImage::Format_RGB32)
                    .save(dir.filePath("q.jpg"), "jpg", options.size() > 2 ? 70 : 92));
        QCOMPARE(segments(jpeg, 0xDB), segments(dir.filePath("q.jpg"), 0xDB));
        QCOMPARE(tree(dir.filePath("f")).value("Backup/IMG_0001_backup.HEIC"),
                 before.value("IMG_0001.HEIC"));
        QVERIFY(!QFileInfo::exists(heic) && hasColour(jpeg, Qt::white));
        for (const char *key : {"Exif.Photo.DateTimeOriginal", "Exif.GPSInfo.GPSLatitude",
                                "Exif.GPSInfo.GPSLongitude", "Exif.GPSInfo.GPSImgDirection"})
            QCOMPARE(TestPhotos::tag(jpeg, key), TestPhotos::tag(source, key));
        const QString journal =
            QDir(dir.filePath("f/Backup")).entryInfoList({"*.jsonl"}).value(0).filePath();
        QCOMPARE(lote({"--deshacer", journal}).status, 0);
        QCOMPARE(tree(dir.filePath("f")), before);
    }

    // Rows may name a photo by its path in the folder; a bare name shared by several photos
    // places none of them, and the sample file writes such names as paths.
    void relativePathRows()
    {
        QTemporaryDir dir;
        const QString root = dir.filePath("fotos");
        for (const char *folder : {"/a", "/b", "/c"}) {
            QVERIFY(QDir().mkpath(root + folder));
            makePhoto(root + folder + "/x.jpg", false);
        }
        const Result sample = lote({"--subdirectorios", "--ejemplo", dir.filePath("e.txt"), root});
        QCOMPARE(sample.status, 0);
        QFile written(dir.filePath("e.txt"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().contains("\na/x.jpg,19,J,500000,6000000,0\n"));
        writeFile(dir.filePath("t.txt"), "a/x.jpg,19,H,346574,6298958,90\n"
                                         "b/x.jpg,19,H,346000,6298000\nx.jpg,19,H,1,2\n");
        const Result run = lote({"--subdirectorios", "--txt", dir.filePath("t.txt"), root});
        QCOMPARE(run.status, 1);
        QVERIFY(QFileInfo::exists(root + "/a/19H 346574 6298958.jpg"));
        QVERIFY(QFileInfo::exists(root + "/b/19H 346000 6298000.jpg"));
        QVERIFY(QFileInfo::exists(root + "/c/x.jpg"));
        QVERIFY2(run.out.contains("Nombre ambiguo en el archivo TXT: x.jpg es el nombre de varias "
                                  "fotos; escriba su ruta, por ejemplo c/x.jpg"),
                 qPrintable(run.out));
    }

    // A folder run again after new photos were added: only those are processed. The history
    // entry that marks the others is the one other tools read, and a forced re-run keeps it.
    void reRunsTouchOnlyNewPhotos()
    {
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            QSKIP("exiftool is not installed (scripts/install-deps.sh installs it)");
        QTemporaryDir dir;
        const QString first = dir.filePath(utmName + ".jpg");
        makePhoto(dir.filePath("a.jpg"));
        qputenv("SOURCE_DATE_EPOCH", "1700000000");
        qputenv("TZ", "UTC");
        QCOMPARE(lote({"--sin-backup", dir.path()}).status, 0);
        makePhoto(dir.filePath("b.jpg"));
        const auto before = tree(dir.path());
        const Result again = lote({"--sin-backup", "--prefijo", "X_", dir.path()});
        QVERIFY2(again.out.contains(
                     "\nYa procesada por Cartaluz el 14/11/2023 22:13:20: " + utmName + ".jpg\n") &&
                     again.out.contains("1 fotos procesadas, 1 omitidas, 0 con errores"),
                 qPrintable(again.out));
        QCOMPARE(tree(dir.path()).value(utmName + ".jpg"), before.value(utmName + ".jpg"));
        QVERIFY(QFileInfo::exists(dir.filePath("X_" + utmName + ".jpg")));

        // A repeated option keeps each of its values in the history.
        const Result forced = lote({"--sin-backup", "--reprocesar", "--sin-renombrar", "--linea",
                                    "obra", "--linea", "punto", dir.path()});
        qunsetenv("SOURCE_DATE_EPOCH");
        qunsetenv("TZ");
        QCOMPARE(forced.status, 0);
        QProcess exiftool;
        exiftool.start("exiftool", {"-j", "-struct", "-XMP-xmpMM:History", first});
        QVERIFY(exiftool.waitForFinished());
        const QJsonArray history = QJsonDocument::fromJson(exiftool.readAllStandardOutput())
                                       .array()
                                       .at(0)
                                       .toObject()
                                       .value("History")
                                       .toArray();
        QCOMPARE(history.size(), 2);
        for (const QJsonValue &entry : history) {
            QCOMPARE(entry["SoftwareAgent"].toString(), QString("Cartaluz " CARTALUZ_VERSION));
            QCOMPARE(entry["Action"].toString(), QString("edited"));
            QCOMPARE(entry["When"].toString(), QString("2023:11:14 22:13:20+00:00"));
        }
        QCOMPARE(history[0]["Parameters"].toString(), QString("cartaluz-lote --sin-backup"));
        QCOMPARE(history[1]["Parameters"].toString(),
                 QString("cartaluz-lote --sin-backup --reprocesar --sin-renombrar --linea obra "
                         "--linea punto"));
    }

    void undoTakesARunBack_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("fault"); // where the run is killed, for the file operations
        for (const char *mode : {"whole run", "one photo edited since", "run killed half-way"})
            QTest::newRow(mode) << mode << QString();
        for (const char *fault :
             {"copia-parcial:3", "tras-copia:2", "tras-renombrar:2", "tras-enlace:3"})
            QTest::newRow(fault) << "run killed at a fault point" << fault;
    }

    // A run taken back from its journal: every file as before the run, names included. A photo
    // edited since is left, with its line; a killed run's journal is enough.
    void undoTakesARunBack()
    {
        QFETCH(QString, mode);
        QFETCH(QString, fault);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QVERIFY(QDir().mkpath(folder));
        const bool killed = mode.startsWith("run killed");
        const QString first = folder + "/a.jpg";
        if (killed &&
            fault.isEmpty()) // large enough that the run is still going when the journal shows it
            QVERIFY(TestPhotos::writeImage(first, 3000, 2000) &&
                    TestPhotos::setTags(
                        first, TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W")));
        else
            makePhoto(first);
        for (char name = 'b'; name < (killed ? 'm' : 'd'); ++name)
            QVERIFY(QFile::copy(first, folder + '/' + name + ".jpg"));
        makePhoto(folder + "/nogps.jpg", false);
        // Its image data fail their check sum only once decoded: left before any change.
        QVERIFY(TestPhotos::writeImage(folder + "/datos.png") &&
                TestPhotos::setTags(folder + "/datos.png",
                                    TestPhotos::gpsTags("33/1 0/1 0/1", "S", "70/1 0/1 0/1", "W")));
        QByteArray png = TestPhotos::readFile(folder + "/datos.png");
        png[png.size() - 20] = char(png[png.size() - 20] ^ 0x55);
        QVERIFY(TestPhotos::writeFile(folder + "/datos.png", png));
        // Taken back with the permissions and the date it had.
        QVERIFY(QFile::setPermissions(first, QFile::Permissions(0x6666)));
        QVERIFY(setModified(first, QDateTime(QDate(2020, 5, 4), QTime(3, 2, 1))));
        const auto before = tree(folder);
        const auto attributesBefore = attributes(folder);

        QProcess run;
        run.setWorkingDirectory(dir.path()); // the folder given as a relative path
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("CARTALUZ_PRUEBA_FALLO", fault);
        run.setProcessEnvironment(environment);
        run.start(CARTALUZ_LOTE, fault.isEmpty() ? QStringList{"-j", "1", "--recodificar", "fotos"}
                                                 : QStringList{"-j", "2", "fotos"});
        QString journal;
        QElapsedTimer waited;
        waited.start();
        while (killed && fault.isEmpty() && run.state() != QProcess::NotRunning &&
               waited.elapsed() < 60000) {
            journal = QDir(folder + "/Backup").entryInfoList({"*.jsonl"}).value(0).filePath();
            if (!journal.isEmpty() &&
                TestPhotos::readFile(journal).count("\"tipo\":\"plan\"") >= 3) {
                run.kill();
                break;
            }
            QThread::msleep(1);
        }
        QVERIFY(run.waitForFinished(60000));
        QCOMPARE(run.exitStatus(), killed ? QProcess::CrashExit : QProcess::NormalExit);
        journal = QDir(folder + "/Backup").entryInfoList({"*.jsonl"}).value(0).filePath();
        QVERIFY(!journal.isEmpty());
        const QString edited = folder + '/' + utmName + " (1).jpg"; // b.jpg
        if (mode.startsWith("one photo"))
            QVERIFY(TestPhotos::writeFile(edited, TestPhotos::readFile(edited) + "edit"));
        const auto changed = tree(folder);

        const Result undo = lote({"--deshacer", journal});
        if (!mode.startsWith("one photo")) {
            QCOMPARE(undo.status, 0);
            QCOMPARE(tree(folder), before);
            QCOMPARE(attributes(folder), attributesBefore);
            QVERIFY(!QFileInfo::exists(folder + "/Backup"));
            return;
        }
        QCOMPARE(undo.status, 1);
        QVERIFY2(undo.out.contains("No se restaura b.jpg (ahora " + utmName +
                                   " (1).jpg): editada desde la ejecución."),
                 qPrintable(undo.out));
        auto expected = before;
        expected.remove("b.jpg");
        for (const QString &left : {utmName + " (1).jpg", QString("Backup/b_backup.jpg"),
                                    QDir(folder).relativeFilePath(journal)})
            expected.insert(left, changed.value(left));
        QCOMPARE(tree(folder), expected);
    }

    void unwritableHistory_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line"); // of the first run
        QTest::addColumn<bool>("skippedAgain");
        QTest::newRow("journal") << QStringList{} << "No se pudo anotar el historial XMP" << true;
        QTest::newRow("no journal, no history")
            << QStringList{"--sin-backup"}
            << "Sin diario, una nueva ejecución la estamparía otra vez" << false;
    }

    // A photo whose XMP packet has no room for a history entry: the journal's written digest is
    // what keeps a later run from stamping it twice; without a journal the run says so.
    void unwritableHistory()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);
        QFETCH(bool, skippedAgain);
        QTemporaryDir dir;
        const QString photo = dir.filePath("a.jpg");
        makePhoto(photo);
        const QByteArray packet =
            "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
            "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
            "rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:description><rdf:Alt>"
            "<rdf:li xml:lang='x-default'>" +
            QByteArray(65000, 'n') +
            "</rdf:li></rdf:Alt></dc:description></rdf:Description></rdf:RDF></x:xmpmeta>";
        // Written by hand: the metadata library would pad it past the segment's limit.
        QByteArray jpeg = TestPhotos::readFile(photo);
        const QByteArray segment = "http://ns.adobe.com/xap/1.0/" + QByteArray(1, '\0') + packet;
        QVERIFY(segment.size() + 2 <= 0xFFFF);
        qsizetype at = 2;
        while (uchar(jpeg[at + 1]) >= 0xE0 && uchar(jpeg[at + 1]) <= 0xEF)
            at += 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3]));
        jpeg.insert(at, QByteArray::fromHex("FFE1") + char((segment.size() + 2) >> 8) +
                            char((segment.size() + 2) & 0xFF) + segment);
        QVERIFY(TestPhotos::writeFile(photo, jpeg));
        QVERIFY(!TestPhotos::tag(photo, "Xmp.dc.description").isEmpty());
        const Result first = lote(arguments + QStringList{"--sin-renombrar", dir.path()});
        QCOMPARE(first.status, 0);
        QVERIFY2(first.out.contains(line), qPrintable(first.out));
        const auto stamped = tree(dir.path());

        const Result second = lote(arguments + QStringList{"--sin-renombrar", dir.path()});
        QCOMPARE(second.out.contains("Ya procesada por Cartaluz el "), skippedAgain);
        QCOMPARE(tree(dir.path()).value("a.jpg") == stamped.value("a.jpg"), skippedAgain);
        QCOMPARE(QDir(dir.filePath("Backup")).entryList({"a_backup*"}).size(),
                 skippedAgain ? 1 : 0);
    }

    // Links, names the system's encoding cannot give back, names with a newline and names with
    // several dots: each listed, the first two left alone with one line; backups keep every dot
    // and the photo's permissions.
    void oddNamesAndLinks()
    {
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        const QString root = dir.path();
        makePhoto(elsewhere.filePath("victim.jpg"));
        QVERIFY(QFile::link(elsewhere.path(), root + "/lnk"));
        QVERIFY(QFile::link(elsewhere.filePath("victim.jpg"), root + "/link.jpg"));
        makePhoto(root + "/obra.1.jpg");
        QVERIFY(QFile::copy(root + "/obra.1.jpg", root + "/obra.2.jpg"));
        QVERIFY(QFile::copy(root + "/obra.1.jpg", root + "/dos\nlíneas.jpg"));
        QVERIFY(QFile::setPermissions(root + "/obra.1.jpg", QFile::Permissions(0x6666)));
        const QByteArray odd = QFile::encodeName(root) + "/mal\xff.jpg";
        QVERIFY(::link(QFile::encodeName(root + "/obra.2.jpg").constData(), odd.constData()) == 0);
        const auto outside = tree(elsewhere.path());

        const Result run = lote({"--subdirectorios", root});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("3 fotos procesadas, 3 omitidas"), qPrintable(run.out));
        for (const QString &line :
             {QString("Carpeta enlazada no recorrida: lnk (sus fotos quedan como están)."),
              QString("Enlace simbólico omitido: link.jpg (no se modifica)."),
              QString("Nombre de archivo no válido en UTF-8 omitido: mal\uFFFD.jpg"),
              QString("\nProcesando: dos\\nlíneas.jpg\n")})
            QVERIFY2(run.out.contains(line), qPrintable(line));
        QCOMPARE(tree(elsewhere.path()), outside);
        QVERIFY(QFileInfo(root + "/link.jpg").isSymLink());
        struct stat info = {};
        QVERIFY(::lstat(odd.constData(), &info) == 0);
        const QStringList backups = QDir(root + "/Backup").entryList({"*.jpg"}, QDir::Files);
        QCOMPARE(backups,
                 QStringList({"dos\nlíneas_backup.jpg", "obra.1_backup.jpg", "obra.2_backup.jpg"}));
        QCOMPARE(int(QFileInfo(root + "/Backup/obra.1_backup.jpg").permissions()), 0x6666);
        QCOMPARE(int(QFileInfo(root + '/' + utmName + " (1).jpg").permissions()), 0x6666);
        // The toolkit cannot name this file to remove it with the folder.
        QVERIFY(::unlink(odd.constData()) == 0);
    }

    // A second run, or an undo, on a folder a run holds touches nothing; the lock goes with the
    // process that held it.
    void oneRunAtATime()
    {
        QTemporaryDir dir;
        makePhoto(dir.filePath("a.jpg"));
        const auto before = tree(dir.path());
        QProcess holder;
        holder.start("flock", {"--close", dir.path(), "sleep", "30"});
        QVERIFY(holder.waitForStarted());
        QTest::qWait(300);
        QVERIFY(TestPhotos::writeFile(dir.filePath("d.jsonl"),
                                      "{\"tipo\":\"inicio\",\"programa\":\"cartaluz-lote\","
                                      "\"carpeta\":\"" +
                                          dir.path().toUtf8() + "\"}\n"));
        for (const QStringList &arguments :
             {QStringList{dir.path()}, QStringList{"--deshacer", dir.filePath("d.jsonl")}}) {
            const Result refused = lote(arguments);
            QCOMPARE(refused.status, 2);
            QVERIFY2(
                refused.err.contains(dir.path() + ": otra ejecución de Cartaluz está en curso"),
                qPrintable(refused.err));
        }
        QVERIFY(QFile::remove(dir.filePath("d.jsonl")));
        QCOMPARE(tree(dir.path()), before);
        holder.kill();
        QVERIFY(holder.waitForFinished());
        QCOMPARE(lote({dir.path()}).status, 0);
    }

    // A full disk is named by the system's reason, in Spanish.
    void fullDiskSaysWhy()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        QTemporaryDir dir;
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", dir.path()}) != 0)
            QSKIP("tmpfs cannot be mounted here");
        const auto unmount = qScopeGuard([&dir] { QProcess::execute("umount", {dir.path()}); });
        QVERIFY(TestPhotos::writeImage(dir.filePath("a.jpg"), 160, 120));
        QVERIFY(
            TestPhotos::setTags(dir.filePath("a.jpg"),
                                TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W")));
        {
            // Fills what is left: the new bytes find no room.
            QFile filler(dir.filePath("relleno"));
            QVERIFY(filler.open(QIODevice::WriteOnly));
            filler.write(QByteArray(64 * 1024, 'x'));
        }
        const auto before = tree(dir.path());
        const Result run = lote({"--sin-backup", "--recodificar", dir.path()});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.out.contains("Error guardando la imagen: No queda espacio en el dispositivo"),
                 qPrintable(run.out));
        QCOMPARE(tree(dir.path()), before);
    }

    // A PNG written as a JPEG keeps what its text chunks say, in the JPEG's EXIF.
    void pngTextCarried()
    {
        QTemporaryDir dir;
        const QString png = dir.filePath("a.png");
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        image.setText("Make", "Cámara de campo");
        image.setText("Software", "Editor 3");
        image.setText("Creation Time", "2021-06-07T08:09:10");
        QVERIFY(image.save(png));
        QVERIFY(TestPhotos::setTags(
            png, TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W")));
        QCOMPARE(lote({"--sin-backup", "--todo-jpeg", dir.path()}).status, 0);
        const QString jpeg = dir.filePath(utmName + ".jpg");
        QCOMPARE(TestPhotos::tag(jpeg, "Exif.Image.Make"), QString("Cámara de campo"));
        QCOMPARE(TestPhotos::tag(jpeg, "Exif.Image.Software"), QString("Editor 3"));
        QCOMPARE(TestPhotos::tag(jpeg, "Exif.Photo.DateTimeDigitized"),
                 QString("2021:06:07 08:09:10"));
    }

    // A Backup folder on another file system (a card's folder mounted apart): the kernel copies
    // only within one, so the bytes go through the program, and still keep the photo's date.
    void backupOnAnotherFileSystem()
    {
        if (::geteuid() != 0)
            QSKIP("mounting a small file system needs root");
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Backup"));
        if (QProcess::execute(
                "mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", dir.filePath("Backup")}) != 0)
            QSKIP("tmpfs cannot be mounted here");
        const auto unmount =
            qScopeGuard([&dir] { QProcess::execute("umount", {dir.filePath("Backup")}); });
        makePhoto(dir.filePath("a.jpg"));
        QVERIFY(setModified(dir.filePath("a.jpg"), QDateTime(QDate(2021, 2, 3), QTime(4, 5, 6))));
        const QByteArray original = TestPhotos::readFile(dir.filePath("a.jpg"));
        QCOMPARE(lote({"--sin-renombrar", dir.path()}).status, 0);
        QCOMPARE(TestPhotos::readFile(dir.filePath("Backup/a_backup.jpg")), original);
        QCOMPARE(QFileInfo(dir.filePath("Backup/a_backup.jpg")).lastModified().date(),
                 QDate(2021, 2, 3));
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
            qputenv("SOURCE_DATE_EPOCH", "1700000000"); // the same history entry in both
            Result run = lote({"-j", workers, folder});
            qunsetenv("SOURCE_DATE_EPOCH");
            QCOMPARE(run.status, 1);
            // Each run's journal is named after the second it started.
            run.out.remove(QRegularExpression("\nDiario: .*"));
            QVERIFY(QFile::remove(
                QDir(folder + "/Backup").entryInfoList({"*.jsonl"}).value(0).filePath()));
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

    // Lines a new user reads first: a folder without photos (nothing made in it), a dry run's
    // opening, coordinate rows by their line (counted as errors), a sample file never edited.
    void firstLines_data()
    {
        QTest::addColumn<QString>("options"); // TXT: the coordinate file
        QTest::addColumn<QByteArray>("rows");
        QTest::addColumn<QStringList>("files"); // made in the folder; .jpg ones are photos
        QTest::addColumn<QString>("out");       // how the log starts; all of it if no summary
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QStringList>("after"); // the folder's files afterwards
        const QStringList ab{"a.jpg", "b.jpg"};
        const QString txt = "TXT --sin-backup", fixed = "19J 500000 6000000";
        QTest::newRow("empty") << "" << QByteArray() << QStringList() << "No hay fotos en DIR\n"
                               << "" << QStringList();
        QTest::newRow("other formats")
            << "--diario J" << QByteArray() << QStringList{"a.gif", "b"} << "No hay fotos en DIR\n"
            << "" << QStringList{"a.gif", "b"};
        QTest::newRow("one level down")
            << "" << QByteArray() << QStringList{"s/a.jpg"}
            << "No hay fotos en DIR (las hay en sus subcarpetas: véase --subdirectorios)\n"
            << "" << QStringList{"s/a.jpg"};
        QTest::newRow("dry run") << "--simular" << QByteArray() << ab
                                 << "Simulación: no se modificará ningún archivo; cada línea dice "
                                    "lo que se haría.\n\nProcesando: a.jpg\n"
                                 << "Simulación: se procesarían 0 fotos, se omitirían 2" << ab;
        QTest::newRow("bad rows")
            << txt
            << QByteArray("nombre,zona,letra,easting,northing\n\nb.jpg,19,H,34x,6298000\n"
                          "a.jpg,19,H,346000,6298000,norte\r\nsolo,tres\n")
            << ab
            << "t.txt, línea 3: Easting inválido para b.jpg: 34x (fila descartada)\nt.txt, línea "
               "4: Orientación inválida para a.jpg: norte (fila usada sin orientación)\nt.txt, "
               "línea 5: Línea inválida en archivo txt (menos de 5 columnas): solo,tres (fila "
               "descartada)\n\nProcesando: a.jpg\n"
            << "Resumen: 1 fotos procesadas, 1 omitidas, 3 con errores, 1 sin posición."
            << QStringList{"19H 346000 6298000.jpg", "b.jpg"};
        QTest::newRow("sample never edited")
            << txt << QByteArray("a.jpg,19,J,500000,6000000,0\nb.jpg,19,J,500000,6000000,0\n") << ab
            << "Todas las filas de DIR/../t.txt tienen aún la posición de ejemplo (19J 500000 "
               "6000000): escriba en cada una la posición real de su foto.\n\nProcesando: a.jpg\n"
            << "Resumen: 2 fotos procesadas, 0 omitidas, 0 con errores"
            << QStringList{fixed + " (1).jpg", fixed + ".jpg"};
    }

    void firstLines()
    {
        QFETCH(QString, options);
        QFETCH(QByteArray, rows);
        QFETCH(QStringList, files);
        QFETCH(QString, out);
        QFETCH(QString, summary);
        QFETCH(QStringList, after);
        QTemporaryDir dir;
        const QString folder = dir.filePath("f");
        for (const QString &file : files) {
            QVERIFY(QDir().mkpath(QFileInfo(folder + '/' + file).path()));
            if (file.endsWith(".jpg"))
                makePhoto(folder + '/' + file, false);
            else
                writeFile(folder + '/' + file, "x");
        }
        QVERIFY(QDir().mkpath(folder));
        writeFile(dir.filePath("t.txt"), rows);
        options.replace("J", dir.filePath("j")).replace("TXT", "--txt " + folder + "/../t.txt");
        const Result run = lote(options.split(' ', Qt::SkipEmptyParts) << folder);
        QCOMPARE(run.status, summary.contains(" 3 con errores") ? 1 : 0);
        QCOMPARE(run.err, QString());
        out.replace("DIR", folder);
        QCOMPARE(summary.isEmpty() ? run.out : run.out.left(out.size()), out);
        QVERIFY2(summary.isEmpty() || run.out.contains("\n\n" + summary), qPrintable(run.out));
        QCOMPARE(
            tree(dir.path()).keys().filter(QRegularExpression("^f/")).replaceInStrings("f/", ""),
            after);
        QVERIFY(!QFileInfo::exists(folder + "/Backup"));
    }

    // The sample's rows are those the run would take: metres rounded as the run's names round
    // them, and a position that is no place left to the placeholder with a line.
    void sampleTakesWhatTheRunTakes_data()
    {
        QTest::addColumn<QStringList>("gps"); // latitude, ref, longitude, ref
        QTest::addColumn<QString>("row");     // after "x.jpg,"; the placeholder: no place
        // 344846.72 E, 6297700.156 N, then 266430.037 E, 6345936.665 N.
        QTest::newRow("easting") << QStringList{"33/1 26/1 5604/100", "S", "70/1 40/1 948/100", "W"}
                                 << "19,H,344847,6297700,0";
        QTest::newRow("northing") << QStringList{"33/1 0/1 0/1", "S", "71/1 30/1 0/1", "W"}
                                  << "19,H,266430,6345937,0";
        QTest::newRow("0, 0") << QStringList{"0/1 0/1 0/1", "N", "0/1 0/1 0/1", "E"}
                              << "19,J,500000,6000000,0";
    }

    void sampleTakesWhatTheRunTakes()
    {
        QFETCH(QStringList, gps);
        QFETCH(QString, row);
        QTemporaryDir dir;
        makePhoto(dir.filePath("x.jpg"), false);
        QVERIFY(TestPhotos::setTags(dir.filePath("x.jpg"),
                                    TestPhotos::gpsTags(gps[0], gps[1], gps[2], gps[3])));
        const QString sample = dir.filePath("e.txt");
        const Result made = lote({"--ejemplo", sample, "--ejemplo-exif", dir.path()});
        const bool placed = !row.startsWith("19,J");
        QCOMPARE(made.out, QString(placed ? ""
                                          : "Posición GPS no válida en EXIF para x.jpg (Lat: "
                                            "0, Lon: 0). Usando coordenadas y orientación "
                                            "fijas\n") +
                               "Archivo de ejemplo creado en: " + sample + '\n');
        QVERIFY(TestPhotos::readFile(sample).endsWith("\nx.jpg," + row.toUtf8() + '\n'));
        // The run gives the photo a name of the same whole metres, or no name without a place.
        QFile::remove(sample);
        lote({"--sin-backup", "--sin-texto", "--sin-rosa", dir.path()});
        const QStringList fields = row.split(',');
        QCOMPARE(
            QDir(dir.path()).entryList(QDir::Files),
            QStringList{placed ? fields[0] + fields[1] + ' ' + fields[2] + ' ' + fields[3] + ".jpg"
                               : "x.jpg"});
    }
};

QTEST_MAIN(TestLote)
#include "tst_lote.moc"
