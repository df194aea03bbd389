// What cartaluz-lote stamps and how it is told to: its option table against its help, manual page
// and completion, and the stamps themselves, compared pixel for pixel with the same font code.
#include "annotationfont.h"
#include "loteoptiontable.h"
#include "photoannotation.h"
#include "photoprocessor.h"
#include "stamptext.h"
#include "testphotos.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QtTest>

#include <algorithm>

namespace {

struct Result
{
    int status = -1;
    QString out, err;
};

Result run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Result lote(const QStringList &arguments)
{
    return run(QStringLiteral(CARTALUZ_LOTE), arguments);
}

QStringList dashedNames(const LoteOption &option)
{
    QStringList names;
    for (const QString &name : option.names)
        names << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    return names;
}

// How often each option is listed where a document lists options: the words a pattern captures.
QMap<QString, int> listed(const QString &text, const QRegularExpression &pattern)
{
    QMap<QString, int> counts;
    auto matches = pattern.globalMatch(text);
    while (matches.hasNext()) {
        const QString names = matches.next().captured(1);
        for (const QString &name :
             names.split(QRegularExpression(QStringLiteral("[ ,|]+")), Qt::SkipEmptyParts))
            ++counts[name];
    }
    return counts;
}

// The photo every row stamps: 33.4378 S, 70.6505 W, taken 2024-03-15 10:20:30.
const QString utm = QStringLiteral("19H 346575 6298959");
const QString date = QStringLiteral("15/03/2024 10:20:30");

QString fontPath()
{
    return QFileInfo(QStringLiteral(CARTALUZ_LOTE)).absolutePath() + "/notosans.ttf";
}

// A plain PNG, so the written photo holds the painted pixels exactly.
void makePhoto(const QString &path, const TestPhotos::Tags &extra = {}, int width = 640,
               int height = 480, const QColor &colour = QColor(30, 60, 160),
               const char *format = "png")
{
    QVERIFY(TestPhotos::writeImage(path, width, height, colour, format));
    QVERIFY(TestPhotos::setTags(
        path, TestPhotos::gpsTags("33/1 26/1 1608/100", "S", "70/1 39/1 180/100", "W") +
                  TestPhotos::Tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"}} +
                  extra));
}

// cartaluz-lote's look: a halo behind the letters, the rose's west an O.
AnnotationStyle scriptStyle()
{
    AnnotationStyle style;
    style.fontPath = fontPath();
    style.background = TextBackground::Halo;
    style.westLetter = QStringLiteral("O");
    style.drawRose = false;
    return style;
}

// The photo as it was before the run, with these lines painted by the same code in a process of
// its own: a process paints its first text a little unlike its later ones, and each run is one.
QImage reference(const QString &original, const AnnotationStyle &style, const StampText &text,
                 double orientation = 0.0, bool orientationKnown = false)
{
    const QString painted = original + ".reference.png";
    const int status = QProcess::execute(
        CARTALUZ_STAMPREFERENCE,
        {original, painted, style.fontPath, QString::number(int(style.background)),
         style.westLetter, orientationKnown && style.drawRose ? QString::number(orientation) : "-",
         style.drawText ? "texto" : "-", text.dateLines.join('\n'),
         text.coordinateLines.join('\n')});
    const QImage image = status == 0 ? QImage(painted) : QImage();
    QFile::remove(painted);
    return image.convertToFormat(QImage::Format_RGB32);
}

QImage pixels(const QString &path)
{
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}

// A tool's first output line, its words split at spaces.
QString toolLine(const QString &program, const QStringList &arguments, const QByteArray &input)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000))
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput()).section('\n', 0, 0).trimmed();
}

// Easting and northing of the photo's position in EPSG:code, as cs2cs gives them.
QPointF cs2cs(int code)
{
    const QStringList words =
        toolLine("cs2cs", {"-f", "%.4f", "EPSG:4326", "EPSG:" + QString::number(code)},
                 "-33.4378 -70.6505\n")
            .split(QRegularExpression("\\s+"));
    return words.size() >= 2 ? QPointF(words.at(0).toDouble(), words.at(1).toDouble()) : QPointF();
}

// Every file under dir with a hash of its bytes.
QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path),
                     QCryptographicHash::hash(TestPhotos::readFile(path), QCryptographicHash::Md5));
    }
    return files;
}

int luminance(QRgb pixel)
{
    return qGray(pixel);
}

} // namespace

class TestStamps : public QObject
{
    Q_OBJECT

private slots:
    void everyOptionListedOnce_data()
    {
        QTest::addColumn<QString>("document");
        QTest::newRow("help") << "help";
        QTest::newRow("manual page") << "man";
        QTest::newRow("completion") << "completion";
    }

    // Each option of the table once, and nothing the table lacks.
    void everyOptionListedOnce()
    {
        QFETCH(QString, document);
        QMap<QString, int> counts;
        if (document == "help") {
            const Result help = lote({"--help"});
            QCOMPARE(help.status, 0);
            counts = listed(help.out, QRegularExpression(R"(\n  ((?:--?[a-z][a-z-]*(?:, )?)+))"));
        } else if (document == "man") {
            if (!QFile::exists(CARTALUZ_MANPAGE))
                QSKIP("this build makes no manual page");
            const Result page = run("gzip", {"-dc", CARTALUZ_MANPAGE});
            QCOMPARE(page.status, 0);
            // help2man puts every option line after a .TP, its names in bold.
            QString text = page.out;
            text.remove("\\fB").remove("\\fR").replace("\\-", "-");
            counts = listed(text, QRegularExpression(R"(\n\.TP\n((?:--?[a-z][a-z-]*(?:, )?)+))"));
        } else {
            if (!QFile::exists(CARTALUZ_COMPLETION))
                QSKIP("this build makes no completion");
            QFile file(CARTALUZ_COMPLETION);
            QVERIFY(file.open(QIODevice::ReadOnly));
            counts = listed(QString::fromUtf8(file.readAll()),
                            QRegularExpression(R"(compgen -W '(-[^']*)')"));
        }
        QMap<QString, int> expected;
        for (const LoteOption &option : loteOptions())
            for (const QString &name : dashedNames(option))
                expected[name] = 1;
        QCOMPARE(counts, expected);
    }

    void fields_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<TestPhotos::Tags>("tags");
        QTest::addColumn<QStringList>("dateLines");
        QTest::addColumn<QStringList>("coordinateLines");
        QTest::addColumn<QString>("written"); // the photo's name after the run
        const QString mgrs =
            toolLine("GeoConvert", {"-m"}, "-33.4378 -70.6505\n")
                .replace(QRegularExpression("^(\\d+[A-Z])([A-Z]{2})(\\d{5})(\\d{5})$"),
                         "\\1 \\2 \\3 \\4");
        const QPointF chile = cs2cs(5361);
        const QString sirgas = QString("%1 %2").arg(chile.x(), 0, 'f', 2).arg(chile.y(), 0, 'f', 2);
        const TestPhotos::Tags none;
        const QStringList same{"--sin-renombrar"};
        QTest::newRow("defaults") << same << none << QStringList{date} << QStringList{"UTM " + utm}
                                  << "a.png";
        QTest::newRow("date and time apart")
            << (same + QStringList{"--texto-fecha", "{hora} del {fecha}"}) << none
            << QStringList{"10:20:30 del 15/03/2024"} << QStringList{"UTM " + utm} << "a.png";
        QTest::newRow("latlon and gms")
            << (same + QStringList{"--texto-fecha", "{latlon}", "--texto-coordenadas", "{gms}"})
            << none << QStringList{"-33.437800, -70.650500"}
            << QStringList{"33°26′16.08″ S 70°39′01.80″ O"} << "a.png";
        QTest::newRow("mgrs as GeoConvert")
            << (same + QStringList{"--linea", "MGRS {mgrs}"}) << none << QStringList{date}
            << QStringList{"UTM " + utm, "MGRS " + mgrs} << "a.png";
        QTest::newRow("epsg 5361 as cs2cs")
            << (same + QStringList{"--texto-coordenadas", "{epsg:5361}"}) << none
            << QStringList{date} << QStringList{sirgas} << "a.png";
        QTest::newRow("altitude, heading, error")
            << (same + QStringList{"--linea", "{altitud} {rumbo} {error}"})
            << TestPhotos::Tags{{"Exif.GPSInfo.GPSAltitude", "8115/10"},
                                {"Exif.GPSInfo.GPSAltitudeRef", "0"},
                                {"Exif.GPSInfo.GPSImgDirection", "213/1"},
                                {"Exif.GPSInfo.GPSImgDirectionRef", "M"},
                                {"Exif.GPSInfo.GPSHPositioningError", "4/1"}}
            << QStringList{date} << QStringList{"UTM " + utm, "812 m 213° N mag ± 4 m"} << "a.png";
        QTest::newRow("missing values")
            << (same + QStringList{"--linea", "Altitud {altitud} {rumbo}", "--linea",
                                   "{latlon} {altitud} {error}"})
            << none << QStringList{date} << QStringList{"UTM " + utm, "-33.437800, -70.650500"}
            << "a.png";
        QTest::newRow("line of empty fields left out")
            << (same + QStringList{"--texto-fecha", "{altitud}{descripcion}"}) << none
            << QStringList{} << QStringList{"UTM " + utm} << "a.png";
        QTest::newRow("outside the system's area")
            << (same + QStringList{"--linea", "LV95 {epsg:2056}"}) << none << QStringList{date}
            << QStringList{"UTM " + utm} << "a.png";
        QTest::newRow("names and caption")
            << QStringList{"--linea", "{archivo} → {nombre}", "--linea", "{descripcion}"}
            << TestPhotos::Tags{{"Xmp.dc.description", "lang=\"x-default\" Muro norte"},
                                {"Exif.Image.ImageDescription", "no esta"}}
            << QStringList{date}
            << QStringList{"UTM " + utm, "a.png → " + utm + ".png", "Muro norte"} << utm + ".png";
        QTest::newRow("caption from EXIF")
            << (same + QStringList{"--texto-fecha", "{descripcion}"})
            << TestPhotos::Tags{{"Exif.Image.ImageDescription", "Cámara 2"}}
            << QStringList{"Cámara 2"} << QStringList{"UTM " + utm} << "a.png";
        QTest::newRow("attributes by bare name")
            << (same + QStringList{"--atributos", "ATTR", "--linea", "{punto} · {obra}",
                                   "--subdirectorios"})
            << none << QStringList{date} << QStringList{"UTM " + utm, "P-17 · Puente Maipo"}
            << "sub/c.png";
        QTest::newRow("attributes by path")
            << (same + QStringList{"--atributos", "ATTR", "--linea", "{punto}", "--subdirectorios"})
            << none << QStringList{date} << QStringList{"UTM " + utm, "S-3"} << "sub/a.png";
    }

    // Each field drawn by the run is the text the same font code draws, pixel for pixel.
    void fields()
    {
        QFETCH(QStringList, options);
        QFETCH(TestPhotos::Tags, tags);
        QFETCH(QStringList, dateLines);
        QFETCH(QStringList, coordinateLines);
        QFETCH(QString, written);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QVERIFY(QDir().mkpath(folder + "/sub"));
        const QString photo = folder + '/' + (written.startsWith("sub/") ? written : "a.png");
        makePhoto(photo, tags);
        const QString original = dir.filePath("original.png");
        QVERIFY(QFile::copy(photo, original));
        QVERIFY(TestPhotos::writeFile(dir.filePath("attr.csv"), "foto,punto,obra\n"
                                                                "c.png,P-17,\"Puente Maipo\"\n"
                                                                "sub/a.png,S-3,Canal\n"));
        options.replaceInStrings("ATTR", dir.filePath("attr.csv"));
        const Result result = lote(
            options + QStringList{"--sin-rosa", "--sin-backup", "--fuente", fontPath(), folder});
        QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
        QCOMPARE(result.err, QString());
        const QImage stamped = pixels(folder + '/' + written);
        QVERIFY(!stamped.isNull());
        const QImage expected = reference(original, scriptStyle(), {dateLines, coordinateLines});
        QVERIFY(!expected.isNull());
        QVERIFY(stamped == expected);
        if (QTest::currentDataTag() == QLatin1String("outside the system's area"))
            QVERIFY2(result.out.contains("fuera del área de uso de EPSG:2056"),
                     qPrintable(result.out));
    }

    void unusableTemplates_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown field") << QStringList{"--linea", "{punto}"} << "{punto}";
        QTest::newRow("in the date line") << QStringList{"--texto-fecha", "{fecha} {altura}"}
                                          << "--texto-fecha: campo desconocido {altura}";
        QTest::newRow("brace left open") << QStringList{"--linea", "{fecha"} << "llave sin cerrar";
        QTest::newRow("geographic system")
            << QStringList{"--linea", "{epsg:4326}"} << "no es un sistema proyectado";
        QTest::newRow("unknown system")
            << QStringList{"--linea", "{epsg:999999}"} << "EPSG:999999 no es un sistema";
        QTest::newRow("column the file lacks")
            << QStringList{"--atributos", "ATTR", "--linea", "{obra}"} << "{obra}";
        QTest::newRow("unknown background")
            << QStringList{"--fondo", "sombra"} << "fondo desconocido «sombra»";
        QTest::newRow("window look with a template")
            << QStringList{"--como-ventana", "--linea", "{fecha}"}
            << "--como-ventana: no se combina con --linea";
    }

    // Refused before anything is touched, in one line naming what is wrong.
    void unusableTemplates()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, message);
        QTemporaryDir dir;
        makePhoto(dir.filePath("a.png"));
        QVERIFY(TestPhotos::writeFile(dir.filePath("attr.csv"), "foto,punto\na.png,1\n"));
        options.replaceInStrings("ATTR", dir.filePath("attr.csv"));
        const auto before = tree(dir.path());
        const Result result = lote(options << dir.path());
        QCOMPARE(result.status, 2);
        QCOMPARE(result.out, QString());
        QCOMPARE(result.err.count('\n'), 1);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QCOMPARE(tree(dir.path()), before);
    }

    // A photo without a row keeps its other lines, and the log says so once.
    void photoWithoutAttributes()
    {
        QTemporaryDir dir;
        makePhoto(dir.filePath("b.png"));
        QVERIFY(TestPhotos::writeFile(dir.filePath("attr.csv"), "foto,punto\na.png,1\n"));
        const Result result = lote({"--atributos", dir.filePath("attr.csv"), "--linea", "{punto}",
                                    "--sin-renombrar", "--sin-backup", "--sin-rosa", dir.path()});
        QCOMPARE(result.status, 0);
        QCOMPARE(result.out.count("Sin fila en el archivo de atributos para b.png"), 1);
    }

    // The journal's photo line and the layer carry each photo's attributes; a photo without a
    // row has them empty.
    void attributesInJournalAndLayer()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QVERIFY(QDir().mkpath(folder));
        makePhoto(folder + "/a.png");
        makePhoto(folder + "/b.png");
        QVERIFY(
            TestPhotos::writeFile(dir.filePath("attr.csv"), "foto,punto,obra\na.png,7,Canal\n"));
        const QString layer = dir.filePath("capa.geojson"), journal = dir.filePath("diario.jsonl");
        const Result result =
            lote({"--atributos", dir.filePath("attr.csv"), "--capa", layer, "--diario", journal,
                  "--sin-renombrar", "--sin-backup", "--sin-rosa", folder});
        QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
        QMap<QString, QVariantMap> inJournal;
        for (const QByteArray &line : TestPhotos::readFile(journal).split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.value("tipo") == "foto")
                inJournal.insert(object.value("foto").toString(),
                                 object.value("atributos").toObject().toVariantMap());
        }
        const QVariantMap a{{"punto", "7"}, {"obra", "Canal"}}, b{{"punto", ""}, {"obra", ""}};
        QCOMPARE(inJournal.value("a.png"), a);
        QCOMPARE(inJournal.value("b.png"), b);
        QMap<QString, QVariantMap> inLayer;
        const QJsonArray features = QJsonDocument::fromJson(TestPhotos::readFile(layer))
                                        .object()
                                        .value("features")
                                        .toArray();
        for (const QJsonValue &feature : features) {
            const QVariantMap properties =
                feature.toObject().value("properties").toObject().toVariantMap();
            inLayer.insert(
                properties.value("archivo").toString(),
                {{"punto", properties.value("punto")}, {"obra", properties.value("obra")}});
        }
        QCOMPARE(inLayer.value("a.png"), a);
        QCOMPARE(inLayer.value("b.png"), b);
    }

    // The projection itself, to the millimetre of cs2cs, in three systems.
    void projection_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        QTest::newRow("SIRGAS-Chile UTM 19S") << 5361 << -33.4378 << -70.6505;
        QTest::newRow("Swiss LV95") << 2056 << 46.9480 << 7.4474;
        QTest::newRow("British National Grid") << 27700 << 51.5007 << -0.1246;
    }

    void projection()
    {
        QFETCH(int, code);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        QString errorText;
        const auto system = ProjectedSystem::open(code, errorText);
        QVERIFY2(system, qPrintable(errorText));
        const auto projected = system->project(latitude, longitude);
        QVERIFY(projected);
        const QStringList words =
            toolLine("cs2cs", {"-f", "%.5f", "EPSG:4326", "EPSG:" + QString::number(code)},
                     QByteArray::number(latitude, 'f', 6) + ' ' +
                         QByteArray::number(longitude, 'f', 6) + '\n')
                .split(QRegularExpression("\\s+"));
        QVERIFY(words.size() >= 2);
        QVERIFY2(qAbs(projected->x() - words.at(0).toDouble()) < 0.001,
                 qPrintable(words.join(' ')));
        QVERIFY2(qAbs(projected->y() - words.at(1).toDouble()) < 0.001,
                 qPrintable(words.join(' ')));
        QVERIFY(!system->transformationText().isEmpty());
        QVERIFY(!system->project(-latitude, longitude + 90));
    }

    void legibleOnWhite_data()
    {
        QTest::addColumn<QString>("background");
        QTest::addColumn<bool>("legible");
        QTest::newRow("contorno, the default") << QString() << true;
        QTest::newRow("caja") << "caja" << true;
        QTest::newRow("ninguno") << "ninguno" << false;
    }

    // White letters on a white photo: the light pixels at the letters' edges have a dark pixel
    // within 2 pixels, for at least 98 % of them.
    void legibleOnWhite()
    {
        QFETCH(QString, background);
        QFETCH(bool, legible);
        QTemporaryDir dir;
        // 480 pixels high at the default ratio: text about 24 pixels high.
        makePhoto(dir.filePath("a.png"), {}, 640, 480, Qt::white);
        QStringList options{"--sin-renombrar", "--sin-backup", "--sin-rosa", "--fuente",
                            fontPath()};
        if (!background.isEmpty())
            options << "--fondo" << background;
        QCOMPARE(lote(options << dir.path()).status, 0);
        const QImage stamped = pixels(dir.filePath("a.png"));

        // Where the letters are: the same lines, bare, on black.
        QImage letters(640, 480, QImage::Format_RGB32);
        letters.fill(Qt::black);
        AnnotationStyle bare = scriptStyle();
        bare.background = TextBackground::None;
        paintAnnotations(letters, QImage(), bare, StampText{{date}, {"UTM " + utm}}, 0, false,
                         [](const QString &) {});
        const auto isLetter = [&letters](int x, int y) {
            return x >= 0 && y >= 0 && x < letters.width() && y < letters.height() &&
                   luminance(letters.pixel(x, y)) > 128;
        };
        int edges = 0, parted = 0;
        for (int y = 0; y < letters.height(); ++y)
            for (int x = 0; x < letters.width(); ++x) {
                if (!isLetter(x, y) || luminance(stamped.pixel(x, y)) < 200)
                    continue;
                if (isLetter(x - 1, y) && isLetter(x + 1, y) && isLetter(x, y - 1) &&
                    isLetter(x, y + 1))
                    continue;
                ++edges;
                bool dark = false;
                for (int dy = -2; dy <= 2 && !dark; ++dy)
                    for (int dx = -2; dx <= 2 && !dark; ++dx) {
                        const int nx = std::clamp(x + dx, 0, stamped.width() - 1);
                        const int ny = std::clamp(y + dy, 0, stamped.height() - 1);
                        dark = luminance(stamped.pixel(nx, ny)) < 100;
                    }
                parted += dark ? 1 : 0;
            }
        QVERIFY(edges > 200);
        QCOMPARE(parted >= 0.98 * edges, legible);
    }

    // On a black photo the halo vanishes into the ground: the text is the bare text.
    void blackPhotoAsBare()
    {
        QTemporaryDir dir;
        for (const char *background : {"contorno", "ninguno"}) {
            const QString folder = dir.filePath(background);
            QVERIFY(QDir().mkpath(folder));
            makePhoto(folder + "/a.png", {}, 640, 480, Qt::black);
            QCOMPARE(lote({"--fondo", background, "--sin-renombrar", "--sin-backup", "--sin-rosa",
                           folder})
                         .status,
                     0);
        }
        const QImage halo = pixels(dir.filePath("contorno/a.png"));
        QVERIFY(!halo.isNull());
        QVERIFY(halo == pixels(dir.filePath("ninguno/a.png")));
    }

    void haloAsStackedCopies_data()
    {
        QTest::addColumn<int>("pixels");
        QTest::addColumn<QColor>("ground");
        QTest::newRow("small text on white") << 24 << QColor(Qt::white);
        QTest::newRow("photo-sized text on grey") << 150 << QColor(140, 150, 160);
    }

    // The halo made in one pass looks as the dark copies drawn at every offset, the way a painter
    // that is not on an image (here a pixmap's) still draws it.
    void haloAsStackedCopies()
    {
        QFETCH(int, pixels);
        QFETCH(QColor, ground);
        QFont font = annotationFont(fontPath());
        font.setPixelSize(pixels);
        const QSize size(pixels * 12, pixels * 2);
        const QString text = QStringLiteral("UTM 19H 346575 6298959");
        const auto paint = [&](QPaintDevice &device) {
            QPainter painter(&device);
            painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
            painter.setFont(font);
            painter.setPen(Qt::white);
            paintTextLine(painter, QPoint(pixels / 2, pixels * 3 / 2), text, TextBackground::Halo);
        };
        QImage image(size, QImage::Format_RGB32);
        image.fill(ground);
        paint(image);
        QPixmap pixmap(size);
        pixmap.fill(ground);
        paint(pixmap);
        const QImage stacked = pixmap.toImage().convertToFormat(QImage::Format_RGB32);
        int worst = 0, dark = 0;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x) {
                const QRgb a = image.pixel(x, y), b = stacked.pixel(x, y);
                worst = std::max({worst, qAbs(qRed(a) - qRed(b)), qAbs(qGreen(a) - qGreen(b)),
                                  qAbs(qBlue(a) - qBlue(b))});
                dark += luminance(a) < 30 ? 1 : 0;
            }
        QVERIFY(dark > pixels * 20);
        QVERIFY2(worst <= 4, qPrintable(QString::number(worst)));
    }

    void roseLetters_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("west");
        QTest::addColumn<int>("background");
        QTest::newRow("script: O, halo") << QStringList() << "O" << int(TextBackground::Halo);
        QTest::newRow("window: W, bare")
            << QStringList{"--como-ventana"} << "W" << int(TextBackground::None);
    }

    // The rose's letters in Spanish and on the stamps' background, as the same code draws them.
    void roseLetters()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, west);
        QFETCH(int, background);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QVERIFY(QDir().mkpath(folder));
        makePhoto(folder + "/a.png", TestPhotos::Tags{{"Exif.GPSInfo.GPSImgDirection", "90/1"}},
                  640, 480, Qt::white);
        const QString original = dir.filePath("original.png");
        QVERIFY(QFile::copy(folder + "/a.png", original));
        const Result result =
            lote(options + QStringList{"--sin-renombrar", "--sin-backup", "--sin-texto", folder});
        QVERIFY2(result.status == 0, qPrintable(result.err));
        AnnotationStyle style = scriptStyle();
        style.drawRose = true;
        style.drawText = false;
        style.westLetter = west;
        style.background = TextBackground(background);
        const QImage stamped = pixels(folder + "/a.png");
        QVERIFY(reference(original, style, {}, 90, true) == stamped);
        // The letter itself, which the reference draws by the same code.
        style.westLetter = west == "O" ? "W" : "O";
        QVERIFY(reference(original, style, {}, 90, true) != stamped);
    }

    // The window's look: what its own batch routine writes, pixel for pixel.
    void windowLook_data()
    {
        QTest::addColumn<QString>("photo");
        QTest::newRow("PNG") << "a.png";
        QTest::newRow("JPEG, re-encoded whole") << "a.jpg";
    }

    void windowLook()
    {
        QFETCH(QString, photo);
        QTemporaryDir dir;
        for (const char *folder : {"ventana", "lote"}) {
            QVERIFY(QDir().mkpath(dir.filePath(folder)));
            makePhoto(dir.filePath(QString(folder) + '/' + photo),
                      {{"Exif.GPSInfo.GPSImgDirection", "45/1"}}, 640, 480, QColor(30, 60, 160),
                      photo.endsWith(".png") ? "png" : "jpeg");
        }
        PhotoProcessor::processPhotos(
            dir.filePath("ventana"), QString(), fontPath(), 0.03, true, QString(), Qt::white, 0.2,
            "arriba-izquierda", "abajo-derecha", "abajo-derecha", 0.18, true, false, QString(),
            false, true, true, false, "abajo-izquierda", true, [](const QString &) {});
        const Result result =
            lote({"--como-ventana", "--fuente", fontPath(), dir.filePath("lote")});
        QVERIFY2(result.status == 0, qPrintable(result.err));
        const QString name = "/" + utm + ".jpg";
        const QImage window = pixels(dir.filePath("ventana") + name);
        QVERIFY(!window.isNull());
        QVERIFY(window == pixels(dir.filePath("lote") + name));
    }

    void preview_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QSize>("drawn");
        QTest::newRow("large photo") << 2400 << 1800 << QSize(1600, 1200);
        QTest::newRow("upright tall photo") << 900 << 2000 << QSize(720, 1600);
        QTest::newRow("small photo") << 640 << 480 << QSize(640, 480);
    }

    // --muestra writes its PNG and nothing else: the folder's tree is as it was.
    void preview()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QSize, drawn);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QVERIFY(QDir().mkpath(folder));
        makePhoto(folder + "/a.png", {}, width, height, Qt::white);
        const auto before = tree(folder);
        const QString png = dir.filePath("muestra.png");
        const Result result = lote({"--muestra", folder + "/a.png", "--linea", "{latlon}", png});
        QVERIFY2(result.status == 0, qPrintable(result.out + result.err));
        QCOMPARE(tree(folder), before);
        const QImage image(png);
        QCOMPARE(image.size(), drawn);
        // Stamped: the halo's dark pixels on the white photo.
        const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
        QVERIFY(std::count_if(grey.constBits(), grey.constBits() + grey.sizeInBytes(),
                              [](uchar value) { return value < 60; }) > 100);
        QCOMPARE(lote({"--muestra", folder + "/a.png", png}).status, 2); // never overwritten
    }

    // Every option of the table is one the program takes: none is unknown to its parser.
    void everyOptionParsed()
    {
        for (const LoteOption &option : loteOptions()) {
            QStringList arguments{dashedNames(option).constLast()};
            if (!option.valueName.isEmpty())
                arguments << "x";
            const Result result = lote(arguments << "/nada");
            QVERIFY2(!result.err.contains("opción desconocida"), qPrintable(result.err));
        }
    }
};

QTEST_MAIN(TestStamps)
#include "tst_stamps.moc"
