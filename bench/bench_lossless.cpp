// Lossless stamping of one photo against its floor (Qt decoding and encoding it again at quality
// 90) and today's path (decode, paint the stamps, encode at quality 90): milliseconds per photo,
// the peak memory of each, the share of blocks quantized again and the file size against the
// original. The same stamps then go through the batch engine as cartaluz-lote runs it, over copies
// of the photo: re-encoded, with --sin-perdidas, and with nothing drawn (only the GPS tags
// written). Each path runs in a child process of its own, so each peak is its own.
//
//   bench_lossless [photo.jpg ...]   without photos, a made 4000 × 3000 photo (quality 95, 4:2:0)
//   bench_lossless make <file.jpg>   only writes that made photo
//   bench_lossless jpegtran          the default lossless stamp of one worker against
//                                    `jpegtran -copy all`, CPU per photo, on two made photos:
//                                    4000 × 3000 at 4:4:4 q92 and a 4032 × 3024 phone-like 4:2:0
//                                    q96
#include "batchengine.h"
#include "losslessjpeg.h"
#include "photoannotation.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include <jpeglib.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

constexpr int kRounds = 5;

long peakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Gradients, shapes and fine noise, like a field photo, so the entropy coder has real work.
QImage makeScene(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(90, 140, 210));
    sky.setColorAt(0.55, QColor(200, 220, 240));
    sky.setColorAt(0.56, QColor(90, 120, 60));
    sky.setColorAt(1, QColor(60, 80, 40));
    QPainter painter(&image);
    painter.fillRect(image.rect(), sky);
    QRandomGenerator random(42);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 400; ++i) {
        painter.setBrush(QColor::fromHsv(random.bounded(360), 80 + random.bounded(120),
                                         80 + random.bounded(150)));
        painter.drawEllipse(random.bounded(width), height / 2 + random.bounded(height / 2),
                            20 + random.bounded(200), 10 + random.bounded(120));
    }
    painter.end();
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < width * 3; ++x)
            line[x] = uchar(qBound(0, line[x] + int(random.bounded(16)) - 8, 255));
    }
    return image;
}

// Written with libjpeg itself so quality and sampling (luma lumaH × lumaV, chroma 1 × 1) are
// the ones asked for; app1 (when given) goes first, as a camera's Exif does.
QByteArray encodeJpeg(const QImage &rgb, int quality, int lumaH = 2, int lumaV = 2,
                      const QByteArray &app1 = {})
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = JDIMENSION(rgb.width());
    c.image_height = JDIMENSION(rgb.height());
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.comp_info[0].h_samp_factor = lumaH;
    c.comp_info[0].v_samp_factor = lumaV;
    jpeg_start_compress(&c, TRUE);
    if (!app1.isEmpty())
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(app1.constData()),
                          unsigned(app1.size()));
    for (int y = 0; y < rgb.height(); ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(y));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    const QByteArray jpeg(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return jpeg;
}

bool makePhoto(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(encodeJpeg(makeScene(4000, 3000), 95)) > 0;
}

// The two photos of the jpegtran comparison. The phone's carries an Exif-sized APP1 (a thumbnail's
// worth of bytes) that both sides copy.
bool makeComparisonPhotos(const QString &full444, const QString &phone420)
{
    QFile a(full444);
    if (!a.open(QIODevice::WriteOnly) || a.write(encodeJpeg(makeScene(4000, 3000), 92, 1, 1)) <= 0)
        return false;
    QByteArray exif("Exif\0\0", 6);
    QRandomGenerator random(7);
    while (exif.size() < 24 * 1024)
        exif.append(char(random.bounded(256)));
    QFile b(phone420);
    return b.open(QIODevice::WriteOnly) &&
           b.write(encodeJpeg(makeScene(4032, 3024), 96, 2, 2, exif)) > 0;
}

const QImage &logo()
{
    static const QImage made = [] {
        QImage image(600, 240, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(20, 110, 60, 220));
        painter.drawRoundedRect(image.rect().adjusted(4, 4, -4, -4), 40, 40);
        return image;
    }();
    return made;
}

// The stamps of an everyday run: logo, both text lines and the rose, each in its own corner.
AnnotationStyle stampStyle()
{
    AnnotationStyle style;
    style.fontPath = QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
    style.logoRatio = 0.12;
    style.logoPosition = Corner::TopLeft;
    style.dateTimePosition = Corner::BottomRight;
    style.coordinatesPosition = Corner::BottomLeft;
    style.rosePosition = Corner::TopRight;
    return style;
}

void paintStamps(QImage &image)
{
    paintAnnotations(image, logo(), stampStyle(), QDateTime(QDate(2024, 3, 15), QTime(10, 20, 30)),
                     QStringLiteral("UTM 19H 346575 6298959"), 45, true, [](const QString &) {});
}

QByteArray encodeWithQt(const QImage &image)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(90);
    writer.write(image);
    return out;
}

// One engine run over kRounds copies of the photo, as cartaluz-lote sets it up (one worker, no
// backup, no renaming, positions and headings from a coordinate file); prints the figures of
// measure() per photo, the painting's share unknown (-1). Fails when the run did not take the path
// asked for.
int measureEngine(const QString &path, const QString &mode)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("fotos"));
    QDir().mkpath(folder);
    QByteArray rows;
    for (int i = 0; i < kRounds; ++i) {
        const QString name = QStringLiteral("IMG_%1.jpg").arg(i);
        if (!QFile::copy(path, QDir(folder).filePath(name)))
            return 1;
        rows += name.toUtf8() + ",19,H,346575,6298959,45\n";
    }
    QFile coordinates(dir.filePath(QStringLiteral("coordenadas.txt")));
    if (!coordinates.open(QIODevice::WriteOnly) || coordinates.write(rows) != rows.size())
        return 1;
    coordinates.close();

    BatchJob job;
    job.directory = folder;
    job.useExif = false;
    job.txtPath = coordinates.fileName();
    job.renameToUtm = false;
    job.makeBackup = false;
    job.policy = RunPolicy::Script;
    job.metadataOnlyWrites = true;
    const AnnotationStyle style = stampStyle();
    job.style.fontPath = style.fontPath;
    if (mode == QLatin1String("engine-metadata")) {
        job.style.drawText = false;
        job.style.drawRose = false;
        job.embedTxtInExif = true;
    } else {
        job.logoPath = dir.filePath(QStringLiteral("logo.png"));
        if (!logo().save(job.logoPath))
            return 1;
        job.style.logoRatio = style.logoRatio;
        job.style.logoPosition = style.logoPosition;
        job.style.dateTimePosition = style.dateTimePosition;
        job.style.coordinatesPosition = style.coordinatesPosition;
        job.style.rosePosition = style.rosePosition;
        job.lossless = mode == QLatin1String("engine-lossless");
    }
    static const QRegularExpression blocks(QStringLiteral("(\\d+) de (\\d+) bloques"));
    qint64 reencoded = 0, total = 0;
    int keptPhotos = 0;
    bool failed = false;
    job.log = [&](Severity severity, const QString &line) {
        failed = failed || severity == Severity::Error;
        const QRegularExpressionMatch match = blocks.match(line);
        if (match.hasMatch()) {
            reencoded += match.captured(1).toLongLong();
            total += match.captured(2).toLongLong();
            ++keptPhotos;
        }
        keptPhotos += line.startsWith(QLatin1String("Nada que dibujar")) ? 1 : 0;
    };

    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuMs();
    runBatch(job);
    const double cpu = (cpuMs() - cpuStart) / kRounds;
    const double wall = double(timer.nsecsElapsed()) / 1e6 / kRounds;
    const bool keeps = mode != QLatin1String("engine-recode");
    if (failed || (keeps && keptPhotos != kRounds) || (!keeps && keptPhotos != 0)) {
        std::fprintf(stderr, "the run did not take the path asked for\n");
        return 1;
    }
    qint64 outBytes = 0;
    for (const QFileInfo &photo : QDir(folder).entryInfoList(QDir::Files))
        outBytes += photo.size();
    std::printf("%.1f %.1f %lld %lld %lld %ld -1\n", wall, cpu,
                static_cast<long long>(outBytes / kRounds), static_cast<long long>(reencoded),
                static_cast<long long>(total), peakKb());
    return 0;
}

// CPU (user + system) of one run of a program, from the rusage of that child alone; -1 when it
// could not run or failed.
double childCpuMs(const QStringList &arguments)
{
    std::vector<QByteArray> bytes;
    for (const QString &argument : arguments)
        bytes.push_back(argument.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One worker's default lossless stamp, as the road does it: the file read, the probe, a
// transparent layer, the stamps painted, the stamp, the new file written. One round first warms
// fonts and caches (a worker's first photo). With tranPath, `jpegtran -copy all` runs on the same
// photo between rounds, so both sides meet the same load on a shared machine. Prints "cpuMs
// firstCpuMs stampCpuMs jpegtranCpuMs" with the medians (the stamp() call alone third, -1 for
// jpegtran when not run).
int measureStampCpu(const QString &path, const QString &outPath, const QString &tranPath = {})
{
    constexpr int kStampRounds = 15;
    std::vector<double> cpu, stampOnly, tran;
    double first = 0;
    for (int round = 0; round <= kStampRounds; ++round) {
        const double start = cpuMs();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray source = file.readAll();
        const losslessjpeg::Probe header = losslessjpeg::probe(source);
        QImage layer = losslessjpeg::transparentLayer(header.storedSize);
        paintStamps(layer);
        const double stampStart = cpuMs();
        const losslessjpeg::Result result = losslessjpeg::stamp(source, layer);
        const double stampEnd = cpuMs();
        if (result.outcome != losslessjpeg::Outcome::Done) {
            std::fprintf(stderr, "%s\n", qPrintable(result.message));
            return 1;
        }
        QFile out(outPath);
        if (!out.open(QIODevice::WriteOnly) || out.write(result.jpeg) != result.jpeg.size())
            return 1;
        out.close();
        const double spent = cpuMs() - start;
        if (round == 0) {
            first = spent;
            continue;
        }
        cpu.push_back(spent);
        stampOnly.push_back(stampEnd - stampStart);
        if (!tranPath.isEmpty()) {
            tran.push_back(
                childCpuMs({QStringLiteral("jpegtran"), QStringLiteral("-copy"),
                            QStringLiteral("all"), QStringLiteral("-outfile"), tranPath, path}));
            if (tran.back() < 0) {
                std::fprintf(stderr, "jpegtran missing or failed\n");
                return 1;
            }
        }
    }
    std::printf("%.1f %.1f %.1f %.1f\n", median(cpu), first, median(stampOnly),
                tran.empty() ? -1.0 : median(tran));
    return 0;
}

int compareWithJpegtran()
{
    QTemporaryDir dir;
    const QString full444 = dir.filePath(QStringLiteral("made-4000x3000-444-q92.jpg"));
    const QString phone420 = dir.filePath(QStringLiteral("made-4032x3024-420-q96.jpg"));
    if (!makeComparisonPhotos(full444, phone420))
        return 1;
    std::printf("CPU ms per photo, median of 15 rounds, jpegtran run between ours; ours: one "
                "worker,\nfile read to file written, the run's stamps (logo, two text lines, "
                "rose)\n");
    std::printf("  %-34s %9s %9s %9s %9s %7s\n", "photo", "ours", "1st photo", "stamp()",
                "jpegtran", "ratio");
    int failures = 0;
    for (const QString &photo : {full444, phone420}) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("measure-stamp"), photo,
                     dir.filePath(QStringLiteral("stamped.jpg")),
                     dir.filePath(QStringLiteral("tran.jpg"))});
        child.waitForFinished(-1);
        const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
        if (child.exitCode() != 0 || f.size() != 4) {
            std::printf("  %-34s failed: %s\n", qPrintable(QFileInfo(photo).fileName()),
                        child.readAllStandardError().constData());
            ++failures;
            continue;
        }
        std::printf("  %-34s %9.1f %9.1f %9.1f %9.1f %7.2f\n",
                    qPrintable(QFileInfo(photo).fileName()), f[0].toDouble(), f[1].toDouble(),
                    f[2].toDouble(), f[3].toDouble(), f[0].toDouble() / f[3].toDouble());
    }
    return failures;
}

// One path, timed kRounds times in this process; prints "wallMs cpuMs outBytes reencoded total
// peakKb paintCpuMs" with the medians (the painting is part of the path's time).
int measure(const QString &path, const QString &mode)
{
    if (mode.startsWith(QLatin1String("engine")))
        return measureEngine(path, mode);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray source = file.readAll();
    std::vector<double> wall, cpu, painting;
    qint64 outBytes = 0, reencoded = 0, total = 0;
    for (int round = 0; round < kRounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = cpuMs();
        if (mode == QLatin1String("lossless")) {
            const losslessjpeg::Probe header = losslessjpeg::probe(source);
            QImage layer = losslessjpeg::transparentLayer(header.storedSize);
            const double paintStart = cpuMs();
            paintStamps(layer);
            painting.push_back(cpuMs() - paintStart);
            const losslessjpeg::Result result = losslessjpeg::stamp(source, layer);
            if (result.outcome != losslessjpeg::Outcome::Done) {
                std::fprintf(stderr, "%s\n", qPrintable(result.message));
                return 1;
            }
            outBytes = result.jpeg.size();
            reencoded = result.blocksReencoded;
            total = result.blocksTotal;
        } else {
            QImage image = QImage::fromData(source);
            const double paintStart = cpuMs();
            if (mode == QLatin1String("today"))
                paintStamps(image);
            painting.push_back(cpuMs() - paintStart);
            outBytes = encodeWithQt(image).size();
        }
        cpu.push_back(cpuMs() - cpuStart);
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::sort(painting.begin(), painting.end());
    std::printf("%.1f %.1f %lld %lld %lld %ld %.1f\n", wall[kRounds / 2], cpu[kRounds / 2],
                static_cast<long long>(outBytes), static_cast<long long>(reencoded),
                static_cast<long long>(total), peakKb(), painting[kRounds / 2]);
    return 0;
}

void report(const QString &path)
{
    const qint64 sourceBytes = QFile(path).size();
    std::printf("\n%s (%lld bytes), median of %d, ms per photo:\n", qPrintable(path),
                static_cast<long long>(sourceBytes), kRounds);
    std::printf("  %-34s %8s %8s %10s %10s %12s\n", "path", "wall", "cpu", "paint cpu", "peak MiB",
                "size change");
    double floorCpu = 0;
    const QStringList modes{QStringLiteral("floor"),           QStringLiteral("today"),
                            QStringLiteral("lossless"),        QStringLiteral("engine-recode"),
                            QStringLiteral("engine-lossless"), QStringLiteral("engine-metadata")};
    for (const QString &mode : modes) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("measure"), path, mode});
        child.waitForFinished(-1);
        const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
        if (child.exitCode() != 0 || f.size() != 7) {
            std::printf("  %-34s failed: %s\n", qPrintable(mode),
                        child.readAllStandardError().constData());
            continue;
        }
        const double cpu = f[1].toDouble();
        if (mode == QLatin1String("floor"))
            floorCpu = cpu;
        const QHash<QString, const char *> labels{
            {QStringLiteral("floor"), "floor (Qt decode + encode q90)"},
            {QStringLiteral("today"), "today (decode, paint, q90)"},
            {QStringLiteral("lossless"), "lossless (layer, paint, stamp)"},
            {QStringLiteral("engine-recode"), "engine, re-encode q90"},
            {QStringLiteral("engine-lossless"), "engine, --sin-perdidas"},
            {QStringLiteral("engine-metadata"), "engine, nothing drawn, GPS tags"}};
        const QByteArray paint =
            f[6].toDouble() < 0 ? QByteArray("-") : QByteArray::number(f[6].toDouble(), 'f', 1);
        std::printf("  %-34s %8.1f %8.1f %10s %10.0f %+11.1f%%\n", labels.value(mode),
                    f[0].toDouble(), cpu, paint.constData(), f[5].toDouble() / 1024,
                    100.0 * (f[2].toDouble() - double(sourceBytes)) / double(sourceBytes));
        if (mode == QLatin1String("lossless") || mode == QLatin1String("engine-lossless"))
            std::printf("  %s: %.2f x the floor's cpu time; %lld of %lld blocks quantized "
                        "again (%.2f %%)\n",
                        qPrintable(mode), cpu / floorCpu, f[3].toLongLong(), f[4].toLongLong(),
                        100.0 * f[3].toDouble() / f[4].toDouble());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("measure"))
        return measure(args[2], args[3]);
    if (args.size() == 3 && args[1] == QLatin1String("make"))
        return makePhoto(args[2]) ? 0 : 1;
    if (args.size() == 4 && args[1] == QLatin1String("make-pair"))
        return makeComparisonPhotos(args[2], args[3]) ? 0 : 1;
    if ((args.size() == 4 || args.size() == 5) && args[1] == QLatin1String("measure-stamp"))
        return measureStampCpu(args[2], args[3], args.value(4));
    if (args.size() == 2 && args[1] == QLatin1String("jpegtran"))
        return compareWithJpegtran();
    QStringList photos = args.mid(1);
    QTemporaryDir dir;
    if (photos.isEmpty()) {
        photos << dir.filePath(QStringLiteral("made-4000x3000-q95.jpg"));
        if (!makePhoto(photos.first()))
            return 1;
    }
    for (const QString &photo : photos)
        report(photo);
    return 0;
}
