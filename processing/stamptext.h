// The lines a script stamps, made from templates: text with fields in braces ({fecha}, {utm},
// {epsg:2056}, a column of the attribute file), each filled from the photo.
#pragma once

#include "photoannotation.h"

#include <QDateTime>
#include <QHash>
#include <QPointF>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>

// The attribute file: a header, then one row per photo named by its first column.
struct AttributeTable
{
    QStringList columns;              // the header's names after the first
    QHash<QString, QStringList> rows; // by the first column: a bare name or a relative path
};

// A projected reference system a template names as {epsg:N}, opened once for the run and used by
// every photo's worker.
class ProjectedSystem
{
public:
    // Null with the Spanish reason when code is no projected system PROJ knows.
    static std::shared_ptr<ProjectedSystem> open(int code, QString &errorText);
    ~ProjectedSystem();
    ProjectedSystem(const ProjectedSystem &) = delete;
    ProjectedSystem &operator=(const ProjectedSystem &) = delete;

    // The operation PROJ chose from WGS 84 and its stated accuracy, for the log.
    QString transformationText() const;
    // Easting and northing in metres; none outside the system's area of use.
    std::optional<QPointF> project(double latitude, double longitude) const;

private:
    ProjectedSystem() = default;
    struct Handles;
    std::unique_ptr<Handles> handles;
    mutable std::mutex mutex; // a PROJ context is one thread's at a time
};

struct StampTemplates
{
    QString date = QStringLiteral("{fecha} {hora}");
    QString coordinates = QStringLiteral("UTM {utm}");
    QStringList lines; // under the coordinate line, in its corner
    std::shared_ptr<const AttributeTable> attributes;
    QHash<int, std::shared_ptr<const ProjectedSystem>> systems; // every {epsg:N} named
};

// What a photo's fields are made from.
struct StampValues
{
    QDateTime captureDate;
    QString utm; // "19H 346575 6298959"
    bool latLonKnown = false;
    double latitude = 0.0;
    double longitude = 0.0;
    std::optional<double> altitude;
    bool orientationKnown = false;
    double orientation = 0.0;
    QString headingReference; // "T", "M" or empty
    std::optional<double> positioningErrorMetres;
    QString originalName;
    QString finalName;
    QString description;
    const QStringList *attributes = nullptr; // its row's values after the first; null: no row
};

// The fields a template names, each once; false with the Spanish reason when a brace is left
// open or a field is unknown (attributes may be null: no attribute file).
bool templateFields(const QString &text, const AttributeTable *attributes, QStringList &fields,
                    QString &errorText);

// The EPSG code an "epsg:N" field names; none for any other field.
std::optional<int> epsgCodeOf(const QString &field);

// The photo's lines: a field without a value prints nothing, and a line whose every field is
// empty is left out. Lines that need saying (a position outside a system's area) go to warnings.
StampText stampText(const StampTemplates &templates, const StampValues &values,
                    QStringList &warnings);

// The field's text for the photo, empty when it has no value.
QString fieldText(const QString &field, const StampTemplates &templates, const StampValues &values,
                  QStringList &warnings);
