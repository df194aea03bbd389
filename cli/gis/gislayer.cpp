// The point layer of a run: format from the extension, one feature per photo, one transaction.
#include "gislayer.h"
#include "gdalsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <array>

namespace {

struct LayerFormat
{
    const char *suffix;
    const char *driver;
    const char *layerOptions; // separated by '|', or nullptr
    bool placemarks;          // KML: the name and time of each placemark come from own fields
};

// CSV has no geometry column of its own: X and Y columns, typed in the .csvt.
constexpr std::array<LayerFormat, 5> formats{{
    {"gpkg", "GPKG", nullptr, false},
    {"geojson", "GeoJSON", nullptr, false},
    {"kml", "LIBKML", nullptr, true},
    {"shp", "ESRI Shapefile", "ENCODING=UTF-8", false},
    {"csv", "CSV", "GEOMETRY=AS_XY|CREATE_CSVT=YES", false},
}};

const LayerFormat *formatFor(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const LayerFormat &format : formats) {
        if (suffix == QLatin1String(format.suffix))
            return &format;
    }
    return nullptr;
}

// Positions in the table below. A driver may add fields of its own (KML adds Name and
// Description first), so where each one lands in the layer is looked up after creating it.
enum Field {
    Archivo,
    ArchivoFinal,
    Fecha,
    Zona,
    Letra,
    Easting,
    Northing,
    Latitud,
    Longitud,
    Orientacion,
    Fuente,
    ErrorM
};
constexpr std::array<std::pair<const char *, OGRFieldType>, 12> fields{{
    {"archivo", OFTString},
    {"archivo_final", OFTString},
    {"fecha", OFTString},
    {"zona", OFTInteger},
    {"letra", OFTString},
    {"easting", OFTReal},
    {"northing", OFTReal},
    {"latitud", OFTReal},
    {"longitud", OFTReal},
    {"orientacion", OFTReal},
    {"fuente", OFTString},
    {"error_m", OFTReal},
}};
using FieldIndexes = std::array<int, fields.size()>;

// Shapefiles and CSV layers are a file with companions; any of them already there belongs to
// someone's layer.
QStringList pathsTaken(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const QString stem = path.left(path.size() - suffix.size());
    QStringList paths{path};
    if (suffix == QLatin1String("shp")) {
        for (const char *companion : {"shx", "dbf", "prj", "cpg"})
            paths << stem + QLatin1String(companion);
    } else if (suffix == QLatin1String("csv")) {
        for (const char *companion : {"csvt", "prj"})
            paths << stem + QLatin1String(companion);
    }
    return paths;
}

// OGR's time zone flag: 100 is UTC, each step a quarter hour; 0 is unknown.
int zoneFlagOf(const QDateTime &date)
{
    return date.timeSpec() == Qt::LocalTime ? 0 : 100 + date.offsetFromUtc() / 900;
}

void fillFeature(OGRFeature &feature, const FieldIndexes &at, const LayerPoint &point)
{
    const auto text = [&](Field field, const QString &value) {
        feature.SetField(at[field], value.toUtf8().constData());
    };
    // Whatever is not known is an explicit null, which every format can say.
    for (const int index : at)
        feature.SetFieldNull(index);
    text(Archivo, point.originalName);
    text(ArchivoFinal, point.finalName);
    if (point.date.isValid())
        text(Fecha, point.date.toString(Qt::ISODate));
    text(Fuente, point.source);
    if (point.heading)
        feature.SetField(at[Orientacion], *point.heading);
    if (point.errorMetres)
        feature.SetField(at[ErrorM], *point.errorMetres);
    // The placemark's own fields, when the format has them: its label and its TimeStamp.
    const int nameField = feature.GetFieldIndex("Name");
    if (nameField >= 0)
        feature.SetField(nameField, point.finalName.toUtf8().constData());
    const int timeField = feature.GetFieldIndex("timestamp");
    if (timeField >= 0 && point.date.isValid()) {
        const QDate day = point.date.date();
        const QTime clock = point.date.time();
        feature.SetField(timeField, day.year(), day.month(), day.day(), clock.hour(),
                         clock.minute(), float(clock.second() + clock.msec() / 1000.0),
                         zoneFlagOf(point.date));
    }
    if (!point.located)
        return;
    feature.SetField(at[Zona], point.utm.zoneNumber);
    text(Letra, QString(QChar::fromLatin1(point.utm.zoneLetter)));
    feature.SetField(at[Easting], point.utm.easting);
    feature.SetField(at[Northing], point.utm.northing);
    feature.SetField(at[Latitud], point.position.latitude);
    feature.SetField(at[Longitud], point.position.longitude);
    OGRPoint geometry(point.position.longitude, point.position.latitude);
    feature.SetGeometry(&geometry);
}

} // namespace

QString layerDriverFor(const QString &path)
{
    const LayerFormat *format = formatFor(path);
    return format ? QString::fromLatin1(format->driver) : QString();
}

bool checkLayerPath(const QString &path, QString &errorText)
{
    if (!formatFor(path)) {
        errorText = QStringLiteral("Formato de capa no reconocido: %1 (se admite .gpkg, .geojson, "
                                   ".kml, .shp o .csv).")
                        .arg(path);
        return false;
    }
    for (const QString &taken : pathsTaken(path)) {
        if (QFileInfo::exists(taken)) {
            errorText = QStringLiteral("La capa %1 ya existe; no se sobrescribe.").arg(taken);
            return false;
        }
    }
    // Asking the folder is not enough (read-only mounts, immutable folders, quotas): a file is
    // made there and removed again.
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo(folder).isDir()) {
        errorText = QStringLiteral("No existe la carpeta de la capa %1.").arg(folder);
        return false;
    }
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".cartaluz-capa-XXXXXX")));
    if (!probe.open()) {
        errorText = QStringLiteral("No se puede escribir en la carpeta de la capa %1: %2")
                        .arg(folder, probe.errorString());
        return false;
    }
    return true;
}

namespace {

// GDAL's memory file system: the layer is made there, so that everything GDAL writes (some
// formats only when closing, and GDAL 3.6 does not report a failed write there) can be checked
// by us when it goes to disk, and a layer is either there whole or not at all.
const char *const memoryFolder = "/vsimem/cartaluz-capa";

// Writes each file GDAL made in memory beside path, under its own name. False, with what was
// already written removed, when one of them cannot be written.
bool copyToDisk(const QString &path, QString &errorText)
{
    const QDir folder = QFileInfo(path).absoluteDir();
    const CPLStringList names(VSIReadDir(memoryFolder));
    QStringList written;
    for (int i = 0; i < names.size(); ++i) {
        const QString name = QString::fromUtf8(names[i]);
        const QByteArray memoryPath = QByteArray(memoryFolder) + '/' + names[i];
        vsi_l_offset size = 0;
        const GByte *data = VSIGetMemFileBuffer(memoryPath.constData(), &size, FALSE);
        QSaveFile file(folder.filePath(name));
        // Flushed before the commit: Qt 6.4's commit does not report a failure to write what it
        // still held in its buffer.
        if (!data || !file.open(QIODevice::WriteOnly) ||
            file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size) ||
            !file.flush() || !file.commit()) {
            errorText = QStringLiteral("No se pudo escribir la capa %1: no se pudo guardar %2 (%3)")
                            .arg(path, folder.filePath(name), file.errorString());
            for (const QString &done : std::as_const(written))
                QFile::remove(done);
            return false;
        }
        written << folder.filePath(name);
    }
    return true;
}

} // namespace

bool writeLayer(const QString &path, const QList<LayerPoint> &points, QString &errorText)
{
    if (!checkLayerPath(path, errorText))
        return false;
    const LayerFormat &format = *formatFor(path);
    GdalSupport::registerDrivers();
    GdalSupport::QuietErrors quiet;
    GDALDriver *driver = GetGDALDriverManager()->GetDriverByName(format.driver);
    if (!driver) {
        errorText = QStringLiteral("GDAL no tiene el controlador %1.").arg(format.driver);
        return false;
    }

    VSIRmdirRecursive(memoryFolder);
    VSIMkdir(memoryFolder, 0755);
    const QByteArray memoryPath =
        QByteArray(memoryFolder) + '/' + QFileInfo(path).fileName().toUtf8();
    GDALDatasetUniquePtr dataset;
    const auto fail = [&](const QString &what) {
        errorText = QStringLiteral("No se pudo escribir la capa %1: %2").arg(path, what);
        if (!quiet.lastMessage().isEmpty())
            errorText += QStringLiteral(" (") + quiet.lastMessage() + QLatin1Char(')');
        dataset.reset();
        VSIRmdirRecursive(memoryFolder);
        return false;
    };

    OGRSpatialReference wgs84;
    if (wgs84.importFromEPSG(4326) != OGRERR_NONE)
        return fail(QStringLiteral("no se pudo preparar el sistema de referencia EPSG:4326"));
    // GDAL 3 would otherwise take EPSG:4326 coordinates latitude first.
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);

    dataset.reset(driver->Create(memoryPath.constData(), 0, 0, 0, GDT_Unknown, nullptr));
    if (!dataset)
        return fail(QStringLiteral("no se pudo crear el archivo"));
    CPLStringList layerOptions(
        CSLTokenizeString2(format.layerOptions ? format.layerOptions : "", "|", 0));
    const QByteArray layerName = QFileInfo(path).completeBaseName().toUtf8();
    OGRLayer *layer =
        dataset->CreateLayer(layerName.constData(), &wgs84, wkbPoint, layerOptions.List());
    if (!layer)
        return fail(QStringLiteral("no se pudo crear la capa"));
    FieldIndexes at{};
    for (size_t i = 0; i < fields.size(); ++i) {
        const int before = layer->GetLayerDefn()->GetFieldCount();
        OGRFieldDefn definition(fields[i].first, fields[i].second);
        if (layer->CreateField(&definition) != OGRERR_NONE ||
            layer->GetLayerDefn()->GetFieldCount() != before + 1)
            return fail(QStringLiteral("no se pudo crear el campo %1").arg(fields[i].first));
        // The new field is the last one, whatever name the format gave it.
        at[i] = before;
    }
    // Every point with attributes has the same columns; a photo never planned has none.
    const auto withAttributes = std::find_if(points.cbegin(), points.cend(), [](const auto &point) {
        return !point.attributes.isEmpty();
    });
    std::vector<int> attributeAt;
    for (const auto &attribute : withAttributes == points.cend() ? QList<QPair<QString, QString>>()
                                                                 : withAttributes->attributes) {
        const int before = layer->GetLayerDefn()->GetFieldCount();
        OGRFieldDefn definition(attribute.first.toUtf8().constData(), OFTString);
        if (layer->CreateField(&definition) != OGRERR_NONE ||
            layer->GetLayerDefn()->GetFieldCount() != before + 1)
            return fail(QStringLiteral("no se pudo crear el campo %1").arg(attribute.first));
        attributeAt.push_back(before);
    }
    if (format.placemarks) {
        OGRFieldDefn name("Name", OFTString);
        OGRFieldDefn time("timestamp", OFTDateTime);
        if (layer->CreateField(&name) != OGRERR_NONE || layer->CreateField(&time) != OGRERR_NONE)
            return fail(QStringLiteral("no se pudo crear el campo Name o timestamp"));
    }

    // Formats without transactions write feature by feature, which is all they can do.
    const bool inTransaction = dataset->StartTransaction() == OGRERR_NONE;
    for (const LayerPoint &point : points) {
        OGRFeature feature(layer->GetLayerDefn());
        fillFeature(feature, at, point);
        for (size_t i = 0; i < attributeAt.size() && i < size_t(point.attributes.size()); ++i)
            feature.SetField(attributeAt[i],
                             point.attributes.at(qsizetype(i)).second.toUtf8().constData());
        if (layer->CreateFeature(&feature) != OGRERR_NONE)
            return fail(QStringLiteral("no se pudo añadir %1").arg(point.finalName));
    }
    if (inTransaction && dataset->CommitTransaction() != OGRERR_NONE)
        return fail(QStringLiteral("no se pudo confirmar la escritura"));
    // Several formats finish writing only when closed, where GDAL 3.6 reports a failure only as
    // its last error.
    CPLErrorReset();
    dataset.reset();
    if (CPLGetLastErrorType() == CE_Failure)
        return fail(QStringLiteral("no se pudo terminar de escribir"));
    // Someone may have put a file there while the run went on.
    if (!checkLayerPath(path, errorText) || !copyToDisk(path, errorText)) {
        VSIRmdirRecursive(memoryFolder);
        return false;
    }
    VSIRmdirRecursive(memoryFolder);
    return true;
}
