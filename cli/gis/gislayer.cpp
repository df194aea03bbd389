// The point layer of a run: format from the extension, one feature per photo, one transaction.
#include "gislayer.h"
#include "gdalsupport.h"

#include <QFile>
#include <QFileInfo>

#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include <array>

namespace {

struct LayerFormat
{
    const char *suffix;
    const char *driver;
    const char *datasetOption; // or nullptr
    const char *layerOption;   // or nullptr
};

// CSV has no geometry column of its own.
constexpr std::array<LayerFormat, 5> formats{{
    {"gpkg", "GPKG", nullptr, nullptr},
    {"geojson", "GeoJSON", nullptr, nullptr},
    {"kml", "KML", nullptr, nullptr},
    {"shp", "ESRI Shapefile", nullptr, "ENCODING=UTF-8"},
    {"csv", "CSV", nullptr, "GEOMETRY=AS_XY"},
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
    Fuente
};
constexpr std::array<std::pair<const char *, OGRFieldType>, 11> fields{{
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
}};
using FieldIndexes = std::array<int, fields.size()>;

// Shapefiles are a .shp with companions; any of them already there belongs to someone's layer.
QStringList pathsTaken(const QString &path)
{
    QStringList paths{path};
    if (QFileInfo(path).suffix().toLower() == QLatin1String("shp")) {
        const QString stem = path.left(path.size() - 3);
        for (const char *companion : {"shx", "dbf", "prj", "cpg"})
            paths << stem + QLatin1String(companion);
    }
    return paths;
}

bool fillFeature(OGRFeature &feature, const FieldIndexes &at, const LayerPoint &point)
{
    const auto text = [&](Field field, const QString &value) {
        feature.SetField(at[field], value.toUtf8().constData());
    };
    text(Archivo, point.originalName);
    text(ArchivoFinal, point.finalName);
    if (point.date.isValid())
        text(Fecha, point.date.toString(Qt::ISODate));
    else
        feature.SetFieldNull(at[Fecha]);
    feature.SetField(at[Zona], point.utm.zoneNumber);
    text(Letra, QString(QChar::fromLatin1(point.utm.zoneLetter)));
    feature.SetField(at[Easting], point.utm.easting);
    feature.SetField(at[Northing], point.utm.northing);
    feature.SetField(at[Latitud], point.position.latitude);
    feature.SetField(at[Longitud], point.position.longitude);
    if (point.heading)
        feature.SetField(at[Orientacion], *point.heading);
    else
        feature.SetFieldNull(at[Orientacion]);
    text(Fuente, point.source);
    // A driver's own name field (KML's placemark name) labels the point on the map.
    const int nameField = feature.GetFieldIndex("Name");
    if (nameField >= 0)
        feature.SetField(nameField, point.finalName.toUtf8().constData());
    OGRPoint geometry(point.position.longitude, point.position.latitude);
    return feature.SetGeometry(&geometry) == OGRERR_NONE;
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
    return true;
}

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

    const QByteArray nativePath = QFile::encodeName(path);
    CPLStringList datasetOptions;
    CPLStringList layerOptions;
    if (format.datasetOption)
        datasetOptions.AddString(format.datasetOption);
    if (format.layerOption)
        layerOptions.AddString(format.layerOption);
    GDALDatasetUniquePtr dataset(
        driver->Create(nativePath.constData(), 0, 0, 0, GDT_Unknown, datasetOptions.List()));
    const auto fail = [&](const QString &what) {
        errorText = QStringLiteral("No se pudo escribir la capa %1: %2").arg(path, what);
        if (!quiet.lastMessage().isEmpty())
            errorText += QStringLiteral(" (") + quiet.lastMessage() + QLatin1Char(')');
        if (dataset) {
            dataset.reset();
            driver->Delete(nativePath.constData());
        }
        return false;
    };
    if (!dataset)
        return fail(QStringLiteral("no se pudo crear el archivo"));

    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    // GDAL 3 would otherwise take EPSG:4326 coordinates latitude first.
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
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

    // Formats without transactions write feature by feature, which is all they can do.
    const bool inTransaction = dataset->StartTransaction() == OGRERR_NONE;
    for (const LayerPoint &point : points) {
        OGRFeature feature(layer->GetLayerDefn());
        if (!fillFeature(feature, at, point) || layer->CreateFeature(&feature) != OGRERR_NONE)
            return fail(QStringLiteral("no se pudo añadir %1").arg(point.finalName));
    }
    if (inTransaction && dataset->CommitTransaction() != OGRERR_NONE)
        return fail(QStringLiteral("no se pudo confirmar la escritura"));
    dataset->FlushCache();
    if (CPLGetLastErrorType() == CE_Failure)
        return fail(QStringLiteral("no se pudo guardar"));
    dataset.reset();
    return true;
}
