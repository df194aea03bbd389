// The cover's map: photos and tracks projected to one UTM zone through PROJ (as GDAL exposes it),
// with a basemap warped by GDAL when asked.
#include "overviewmap.h"
#include "gdalsupport.h"
#include "photoreport.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QMap>

#include <gdal_utils.h>
#include <gdalwarper.h>
#include <ogr_spatialref.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// The map's ground where no basemap lies.
constexpr QRgb groundColour = 0xf5f5ed;

struct MapPoint
{
    double x = 0.0;
    double y = 0.0;
};

// Projects WGS84 positions into the map's zone.
class Projection
{
public:
    explicit Projection(int epsg)
    {
        m_from.importFromEPSG(4326);
        m_to.importFromEPSG(epsg);
        m_from.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        m_to.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        m_transform.reset(OGRCreateCoordinateTransformation(&m_from, &m_to));
    }

    bool project(const GeoPosition &position, MapPoint &point) const
    {
        double x = position.longitude;
        double y = position.latitude;
        if (!m_transform || !m_transform->Transform(1, &x, &y))
            return false;
        point = {x, y};
        return std::isfinite(x) && std::isfinite(y);
    }

private:
    OGRSpatialReference m_from;
    OGRSpatialReference m_to;
    std::unique_ptr<OGRCoordinateTransformation> m_transform;
};

// The step of 1, 2 or 5 times a power of ten nearest above span / count.
double niceStep(double span, int count)
{
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 5.0, 10.0})
        if (factor * power >= raw)
            return factor * power;
    return 10.0 * power;
}

QString distanceText(double metres)
{
    return metres >= 1000.0 ? QStringLiteral("%1 km").arg(metres / 1000.0)
                            : QStringLiteral("%1 m").arg(metres);
}

void showText(cairo_t *cr, double x, double y, const QString &text, double alignX = 0.0,
              double alignY = 0.0)
{
    const QByteArray bytes = text.toUtf8();
    cairo_text_extents_t extents;
    cairo_text_extents(cr, bytes.constData(), &extents);
    cairo_move_to(cr, x - extents.x_advance * alignX, y + extents.height * alignY);
    cairo_show_text(cr, bytes.constData());
}

// The map's ground extent and how it lands in the box.
struct Frame
{
    double west, south, east, north; // metres
    double scale;                    // points per metre
    QRectF box;

    double px(double x) const { return box.left() + (x - west) * scale; }
    double py(double y) const { return box.bottom() - (y - south) * scale; }
};

Frame frameFor(const std::vector<MapPoint> &points, const QRectF &box)
{
    double west = 0.0, east = 0.0, south = 0.0, north = 0.0;
    if (!points.empty()) {
        west = east = points.front().x;
        south = north = points.front().y;
    }
    for (const MapPoint &point : points) {
        west = std::min(west, point.x);
        east = std::max(east, point.x);
        south = std::min(south, point.y);
        north = std::max(north, point.y);
    }
    // A margin around the points, and never less than a few hundred metres across.
    const double span = std::max({east - west, north - south, 200.0}) * 1.15;
    const double scale = std::min(box.width(), box.height()) / span;
    const double centreX = (west + east) / 2.0;
    const double centreY = (south + north) / 2.0;
    const double halfWidth = box.width() / scale / 2.0;
    const double halfHeight = box.height() / scale / 2.0;
    return {centreX - halfWidth,
            centreY - halfHeight,
            centreX + halfWidth,
            centreY + halfHeight,
            scale,
            box};
}

// The raster warped to the frame (two pixels a point), drawn as a JPEG. False with the reason.
bool drawBasemap(cairo_t *cr, const Frame &frame, int epsg, const QString &path, QString &errorText)
{
    GdalSupport::registerDrivers();
    GdalSupport::QuietErrors quiet;
    const QByteArray file = path.toUtf8();
    GDALDatasetH source = GDALOpenEx(file.constData(), GDAL_OF_RASTER, nullptr, nullptr, nullptr);
    if (!source) {
        errorText = QStringLiteral("--mapa-base: no se puede leer el ráster %1 (%2)")
                        .arg(path, quiet.lastMessage());
        return false;
    }
    const int width = std::max(1, int(frame.box.width() * 2));
    const int height = std::max(1, int(frame.box.height() * 2));
    const QByteArray srs = QByteArray("EPSG:") + QByteArray::number(epsg);
    QList<QByteArray> arguments{"-of",
                                "MEM",
                                "-t_srs",
                                srs,
                                "-te",
                                QByteArray::number(frame.west, 'f', 3),
                                QByteArray::number(frame.south, 'f', 3),
                                QByteArray::number(frame.east, 'f', 3),
                                QByteArray::number(frame.north, 'f', 3),
                                "-ts",
                                QByteArray::number(width),
                                QByteArray::number(height),
                                "-r",
                                "bilinear",
                                "-dstalpha"};
    std::vector<char *> argv;
    for (QByteArray &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    GDALWarpAppOptions *options = GDALWarpAppOptionsNew(argv.data(), nullptr);
    int failed = 0;
    GDALDatasetH warped = GDALWarp("", nullptr, 1, &source, options, &failed);
    GDALWarpAppOptionsFree(options);
    GDALClose(source);
    if (!warped) {
        errorText = QStringLiteral("--mapa-base: no se puede reproyectar %1 (%2)")
                        .arg(path, quiet.lastMessage());
        return false;
    }
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    // The last band is the alpha -dstalpha adds: outside the raster the map keeps its own ground.
    const int colours = std::max(1, GDALGetRasterCount(warped) - 1);
    std::vector<unsigned char> row(static_cast<size_t>(width));
    std::vector<unsigned char> alpha(static_cast<size_t>(width));
    bool read = true;
    for (int y = 0; read && y < height; ++y) {
        read = GDALRasterIO(GDALGetRasterBand(warped, colours + 1), GF_Read, 0, y, width, 1,
                            alpha.data(), width, 1, GDT_Byte, 0, 0) == CE_None;
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int band = 0; read && band < 3; ++band) {
            // A grey raster gives each of the three colours its one band.
            read = GDALRasterIO(GDALGetRasterBand(warped, std::min(band, colours - 1) + 1), GF_Read,
                                0, y, width, 1, row.data(), width, 1, GDT_Byte, 0, 0) == CE_None;
            const int shift = 16 - 8 * band;
            for (int x = 0; read && x < width; ++x) {
                const int ground = (groundColour >> shift) & 0xff;
                const int value =
                    (row[size_t(x)] * alpha[size_t(x)] + ground * (255 - alpha[size_t(x)])) / 255;
                line[x] = (line[x] & ~(0xffu << shift)) | (QRgb(value) << shift);
            }
        }
    }
    GDALClose(warped);
    if (!read) {
        errorText = QStringLiteral("--mapa-base: no se puede leer el ráster %1 (%2)")
                        .arg(path, quiet.lastMessage());
        return false;
    }
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(85);
    writer.write(image);
    cairo_surface_t *surface = jpegSurface(image.size(), jpeg);
    cairo_save(cr);
    cairo_translate(cr, frame.box.left(), frame.box.top());
    cairo_scale(cr, frame.box.width() / width, frame.box.height() / height);
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_surface_destroy(surface);
    return true;
}

void drawGrid(cairo_t *cr, const Frame &frame)
{
    const double step = niceStep(std::max(frame.east - frame.west, frame.north - frame.south), 4);
    cairo_set_font_size(cr, 6.5);
    cairo_set_line_width(cr, 0.4);
    for (double x = std::ceil(frame.west / step) * step; x <= frame.east; x += step) {
        const double at = frame.px(x);
        cairo_set_source_rgba(cr, 0.3, 0.3, 0.3, 0.35);
        cairo_move_to(cr, at, frame.box.top());
        cairo_line_to(cr, at, frame.box.bottom());
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        cairo_move_to(cr, at, frame.box.bottom());
        cairo_line_to(cr, at, frame.box.bottom() + 4);
        cairo_stroke(cr);
        showText(cr, at, frame.box.bottom() + 6, QString::number(x, 'f', 0), 0.5, 1.0);
    }
    for (double y = std::ceil(frame.south / step) * step; y <= frame.north; y += step) {
        const double at = frame.py(y);
        cairo_set_source_rgba(cr, 0.3, 0.3, 0.3, 0.35);
        cairo_move_to(cr, frame.box.left(), at);
        cairo_line_to(cr, frame.box.right(), at);
        cairo_stroke(cr);
        cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
        cairo_move_to(cr, frame.box.left() - 4, at);
        cairo_line_to(cr, frame.box.left(), at);
        cairo_stroke(cr);
        cairo_save(cr);
        cairo_translate(cr, frame.box.left() - 6, at);
        cairo_rotate(cr, -M_PI / 2);
        showText(cr, 0, 0, QString::number(y, 'f', 0), 0.5, 0.0);
        cairo_restore(cr);
    }
}

void drawScaleAndNorth(cairo_t *cr, const Frame &frame)
{
    const double length = niceStep((frame.east - frame.west) / 4.0, 1);
    const double x = frame.box.left() + 12;
    const double y = frame.box.bottom() - 14;
    const double width = length * frame.scale;
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, x - 4, y - 12, width + 8, 20);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_rectangle(cr, x, y, width / 2, 4);
    cairo_fill(cr);
    cairo_rectangle(cr, x, y, width, 4);
    cairo_set_line_width(cr, 0.6);
    cairo_stroke(cr);
    cairo_set_font_size(cr, 7);
    showText(cr, x, y - 3, QStringLiteral("0"), 0.5);
    showText(cr, x + width, y - 3, distanceText(length), 0.5);

    const double nx = frame.box.right() - 18;
    const double ny = frame.box.top() + 12;
    cairo_move_to(cr, nx, ny);
    cairo_line_to(cr, nx + 7, ny + 22);
    cairo_line_to(cr, nx, ny + 17);
    cairo_line_to(cr, nx - 7, ny + 22);
    cairo_close_path(cr);
    cairo_fill(cr);
    cairo_set_font_size(cr, 9);
    showText(cr, nx, ny + 34, QStringLiteral("N"), 0.5, 0.0);
}

} // namespace

cairo_surface_t *jpegSurface(const QSize &size, const QByteArray &jpeg)
{
    cairo_surface_t *surface =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, size.width(), size.height());
    auto *bytes = new QByteArray(jpeg);
    cairo_surface_set_mime_data(
        surface, CAIRO_MIME_TYPE_JPEG, reinterpret_cast<const unsigned char *>(bytes->constData()),
        (unsigned long)bytes->size(), [](void *held) { delete static_cast<QByteArray *>(held); },
        bytes);
    return surface;
}

bool checkBasemap(const QString &path, QString &errorText)
{
    GdalSupport::registerDrivers();
    GdalSupport::QuietErrors quiet;
    GDALDatasetH raster =
        GDALOpenEx(path.toUtf8().constData(), GDAL_OF_RASTER, nullptr, nullptr, nullptr);
    if (!raster) {
        errorText = QStringLiteral("--mapa-base: no se puede leer el ráster %1").arg(path);
        return false;
    }
    const char *projection = GDALGetProjectionRef(raster);
    const bool placed = (projection && *projection) || GDALGetGCPCount(raster) > 0;
    GDALClose(raster);
    if (!placed) {
        errorText =
            QStringLiteral("--mapa-base: el ráster %1 no tiene sistema de referencia").arg(path);
        return false;
    }
    return true;
}

int overviewMapEpsg(const ReportRun &run)
{
    QMap<int, int> votes; // zone number, negative in the south
    for (const ReportPhoto &photo : run.photos)
        if (photo.located)
            ++votes[photo.utm.zoneLetter < 'N' ? -photo.utm.zoneNumber : photo.utm.zoneNumber];
    int zone = 19;
    int best = 0;
    for (auto it = votes.cbegin(); it != votes.cend(); ++it)
        if (it.value() > best) {
            best = it.value();
            zone = it.key();
        }
    return zone < 0 ? 32700 - zone : 32600 + zone;
}

bool drawOverviewMap(cairo_t *cr, const QRectF &box, const ReportRun &run,
                     const QString &basemapPath, QString &errorText)
{
    const int epsg = overviewMapEpsg(run);
    const Projection projection(epsg);
    std::vector<MapPoint> photos;
    std::vector<double> headings; // NaN for none
    std::vector<std::vector<MapPoint>> tracks;
    std::vector<MapPoint> everything;
    for (const ReportPhoto &photo : run.photos) {
        if (!photo.located)
            continue;
        MapPoint point;
        projection.project(photo.position, point);
        photos.push_back(point);
        headings.push_back(photo.heading ? *photo.heading : std::nan(""));
        everything.push_back(point);
    }
    for (const auto &line : run.tracks) {
        tracks.emplace_back();
        for (const GeoPosition &position : line) {
            MapPoint point;
            if (projection.project(position, point))
                tracks.back().push_back(point);
        }
        // A track far from every photo would shrink them to a dot; it is drawn where it falls.
        if (photos.empty())
            everything.insert(everything.end(), tracks.back().begin(), tracks.back().end());
    }
    if (everything.empty()) {
        // Nothing to place: a grid around an arbitrary point would only mislead.
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 0.8);
        cairo_rectangle(cr, box.left(), box.top(), box.width(), box.height());
        cairo_stroke(cr);
        cairo_set_font_size(cr, 10);
        showText(cr, box.center().x(), box.center().y(),
                 QStringLiteral("Ninguna foto con posición"), 0.5, 0.5);
        return true;
    }
    const Frame frame = frameFor(everything, box);

    cairo_save(cr);
    cairo_rectangle(cr, box.left(), box.top(), box.width(), box.height());
    cairo_clip(cr);
    cairo_set_source_rgb(cr, qRed(groundColour) / 255.0, qGreen(groundColour) / 255.0,
                         qBlue(groundColour) / 255.0);
    cairo_paint(cr);
    if (!basemapPath.isEmpty() && !drawBasemap(cr, frame, epsg, basemapPath, errorText)) {
        cairo_restore(cr);
        return false;
    }
    cairo_set_source_rgb(cr, 0.85, 0.2, 0.1);
    cairo_set_line_width(cr, 1.2);
    for (const auto &line : tracks) {
        for (size_t at = 0; at < line.size(); ++at) {
            if (at == 0)
                cairo_move_to(cr, frame.px(line[at].x), frame.py(line[at].y));
            else
                cairo_line_to(cr, frame.px(line[at].x), frame.py(line[at].y));
        }
        cairo_stroke(cr);
    }
    cairo_set_font_size(cr, 6.5);
    for (size_t at = 0; at < photos.size(); ++at) {
        const double x = frame.px(photos[at].x);
        const double y = frame.py(photos[at].y);
        if (!std::isnan(headings[at])) {
            const double angle = headings[at] * M_PI / 180.0;
            cairo_set_source_rgb(cr, 0.1, 0.2, 0.6);
            cairo_set_line_width(cr, 1.0);
            cairo_move_to(cr, x, y);
            cairo_line_to(cr, x + 16 * std::sin(angle), y - 16 * std::cos(angle));
            cairo_stroke(cr);
            cairo_move_to(cr, x + 19 * std::sin(angle), y - 19 * std::cos(angle));
            cairo_line_to(cr, x + 14 * std::sin(angle - 0.25), y - 14 * std::cos(angle - 0.25));
            cairo_line_to(cr, x + 14 * std::sin(angle + 0.25), y - 14 * std::cos(angle + 0.25));
            cairo_close_path(cr);
            cairo_fill(cr);
        }
        // The last label left a current point, which an arc would join with a line.
        cairo_new_path(cr);
        cairo_arc(cr, x, y, 5.5, 0, 2 * M_PI);
        cairo_set_source_rgb(cr, 1, 0.85, 0.1);
        cairo_fill_preserve(cr);
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_set_line_width(cr, 0.6);
        cairo_stroke(cr);
        showText(cr, x, y, QString::number(at + 1), 0.5, 0.5);
    }
    cairo_restore(cr);

    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.8);
    cairo_rectangle(cr, box.left(), box.top(), box.width(), box.height());
    cairo_stroke(cr);
    drawGrid(cr, frame);
    drawScaleAndNorth(cr, frame);
    const int zone = epsg % 100;
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_font_size(cr, 8);
    showText(cr, box.left(), box.bottom() + 22,
             QStringLiteral("Coordenadas UTM huso %1%2 (WGS 84, EPSG:%3), en metros")
                 .arg(zone)
                 .arg(epsg / 100 == 327 ? QStringLiteral(" sur") : QStringLiteral(" norte"))
                 .arg(epsg));
    return true;
}
