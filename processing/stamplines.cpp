// The lines a photo is stamped with, from what its plan found: the window's two, or a script's
// templates filled in.
#include "photoplan.h"

#include "photonaming.h"
#include "roadlines.h"
#include "utm.h"

#include <QDir>
#include <QFileInfo>

namespace photoroad {

namespace {

// The attribute row of a photo, by its relative path or, where no other photo has its name, by
// its name alone; null, with a warning, when it has none.
const QStringList *attributesOf(const Photo &photo, const AttributeTable &table, const Run &run)
{
    const QString relative = QDir(run.directory).relativeFilePath(photo.sourcePath);
    auto row = table.rows.constFind(relative);
    if (row == table.rows.constEnd() && !run.repeatedNames.contains(photo.fileName))
        row = table.rows.constFind(photo.fileName);
    if (row != table.rows.constEnd())
        return &*row;
    warning(run.log, QStringLiteral("Sin fila en el archivo de atributos para ") + relative +
                         QStringLiteral(": sus campos quedan vacíos."));
    return nullptr;
}

} // namespace

void stampLines(Photo &photo, const Run &run)
{
    if (!run.templates) {
        photo.stampText = StampText{QStringList{dateLineText(photo.captureDate)},
                                    QStringList{photo.coordinateText}};
        return;
    }
    StampValues values;
    values.captureDate = photo.captureDate;
    values.utm = utmName(photo.zoneNumber, photo.zoneLetter, photo.easting, photo.northing);
    values.latLonKnown = true;
    values.latitude = photo.latitude;
    values.longitude = photo.longitude;
    if (!photo.latLonKnown) {
        const GeoPosition position =
            utmToLatLon(photo.zoneNumber, photo.zoneLetter, photo.easting, photo.northing);
        values.latitude = position.latitude;
        values.longitude = position.longitude;
    }
    values.altitude = photo.altitude;
    values.orientationKnown = photo.orientationKnown;
    values.orientation = photo.orientation;
    values.headingReference = photo.headingReference;
    values.positioningErrorMetres = photo.positioningErrorMetres;
    values.originalName = photo.fileName;
    values.finalName = QFileInfo(photo.currentPath).fileName();
    values.description = photo.description;
    if (const AttributeTable *table = run.templates->attributes.get()) {
        values.attributes = attributesOf(photo, *table, run);
        photo.attributes.clear();
        for (qsizetype i = 0; i < table->columns.size(); ++i)
            photo.attributes.append(
                {table->columns.at(i), values.attributes && i < values.attributes->size()
                                           ? values.attributes->at(i).trimmed()
                                           : QString()});
    }
    QStringList warnings;
    photo.stampText = stampText(*run.templates, values, warnings);
    for (const QString &line : warnings)
        warning(run.log, line);
}

} // namespace photoroad
