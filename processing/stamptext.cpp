// The lines a script stamps: templates checked once, then filled for each photo.
#include "stamptext.h"

#include <GeographicLib/MGRS.hpp>
#include <GeographicLib/UTMUPS.hpp>
#include <proj.h>

#include <QRegularExpression>

#include <cmath>

namespace {

const QStringList photoFields{
    QStringLiteral("fecha"),   QStringLiteral("hora"),   QStringLiteral("utm"),
    QStringLiteral("latlon"),  QStringLiteral("gms"),    QStringLiteral("mgrs"),
    QStringLiteral("altitud"), QStringLiteral("rumbo"),  QStringLiteral("error"),
    QStringLiteral("archivo"), QStringLiteral("nombre"), QStringLiteral("descripcion")};

const QRegularExpression epsgField(QStringLiteral("^epsg:([0-9]{1,6})$"));

// Degrees, minutes and seconds to the hundredth, rounded once so that 59.995″ carries over.
QString sexagesimal(double degrees, const QString &positive, const QString &negative)
{
    const qint64 hundredths = std::llround(std::fabs(degrees) * 360000.0);
    return QStringLiteral("%1°%2′%3.%4″ %5")
        .arg(hundredths / 360000)
        .arg(hundredths % 360000 / 6000, 2, 10, QLatin1Char('0'))
        .arg(hundredths % 6000 / 100, 2, 10, QLatin1Char('0'))
        .arg(hundredths % 100, 2, 10, QLatin1Char('0'))
        .arg(degrees < 0 ? negative : positive);
}

// "19H CC 46574 98958": GeographicLib's one word, spaced as it is read.
QString mgrsText(double latitude, double longitude)
{
    try {
        int zone = 0;
        bool north = false;
        double x = 0.0, y = 0.0;
        GeographicLib::UTMUPS::Forward(latitude, longitude, zone, north, x, y);
        std::string text;
        GeographicLib::MGRS::Forward(zone, north, x, y, latitude, 5, text);
        static const QRegularExpression parts(
            QStringLiteral("^([0-9]*[A-Z])([A-Z]{2})([0-9]{5})([0-9]{5})$"));
        const auto match = parts.match(QString::fromStdString(text));
        if (!match.hasMatch())
            return QString::fromStdString(text);
        return QStringList{match.captured(1), match.captured(2), match.captured(3),
                           match.captured(4)}
            .join(QLatin1Char(' '));
    } catch (const GeographicLib::GeographicErr &) {
        return QString();
    }
}

// Tenths where they tell something: "4", "2.5".
QString metresText(double metres, int decimals)
{
    QString text = QString::number(metres, 'f', decimals);
    if (text.contains(QLatin1Char('.'))) {
        while (text.endsWith(QLatin1Char('0')))
            text.chop(1);
        if (text.endsWith(QLatin1Char('.')))
            text.chop(1);
    }
    return text;
}

QString headingText(const StampValues &values)
{
    const int degrees = (int(std::lround(values.orientation)) % 360 + 360) % 360;
    QString text = QString::number(degrees) + QStringLiteral("°");
    if (values.headingReference == QLatin1String("T"))
        text += QStringLiteral(" N geo");
    else if (values.headingReference == QLatin1String("M"))
        text += QStringLiteral(" N mag");
    return text;
}

// A template's pieces: literal text at even places, field names at odd ones. False when a brace
// is left open.
bool split(const QString &text, QStringList &pieces)
{
    pieces.clear();
    qsizetype at = 0;
    while (true) {
        const qsizetype open = text.indexOf(QLatin1Char('{'), at);
        if (open < 0) {
            pieces << text.mid(at);
            return true;
        }
        const qsizetype close = text.indexOf(QLatin1Char('}'), open);
        if (close < 0)
            return false;
        pieces << text.mid(at, open - at) << text.mid(open + 1, close - open - 1);
        at = close + 1;
    }
}

// The expanded line, or nothing when the template names fields and every one is empty.
std::optional<QString> expand(const QString &text, const StampTemplates &templates,
                              const StampValues &values, QStringList &warnings)
{
    QStringList pieces;
    if (!split(text, pieces))
        return text;
    QString line;
    bool anyField = false;
    bool anyValue = false;
    bool anyEmpty = false;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i % 2 == 0) {
            line += pieces.at(i);
            continue;
        }
        anyField = true;
        const QString value = fieldText(pieces.at(i), templates, values, warnings);
        anyValue = anyValue || !value.isEmpty();
        anyEmpty = anyEmpty || value.isEmpty();
        line += value;
    }
    if (anyField && !anyValue)
        return std::nullopt;
    // The spaces around a field left empty would stand alone.
    return anyEmpty ? line.simplified() : line;
}

} // namespace

struct ProjectedSystem::Handles
{
    PJ_CONTEXT *context = nullptr;
    PJ *transformation = nullptr;
    int code = 0;
    QString name;
    double west = -180.0, south = -90.0, east = 180.0, north = 90.0;
};

std::shared_ptr<ProjectedSystem> ProjectedSystem::open(int code, QString &errorText)
{
    std::shared_ptr<ProjectedSystem> system(new ProjectedSystem);
    system->handles = std::make_unique<Handles>();
    Handles &h = *system->handles;
    h.code = code;
    h.context = proj_context_create();
    // Messages of PROJ's own would reach stderr; its answers say enough.
    proj_log_level(h.context, PJ_LOG_NONE);
    const QByteArray name = "EPSG:" + QByteArray::number(code);
    PJ *crs = proj_create(h.context, name.constData());
    if (!crs) {
        errorText = QStringLiteral("EPSG:%1 no es un sistema de referencia conocido").arg(code);
        return nullptr;
    }
    const PJ_TYPE type = proj_get_type(crs);
    h.name = QString::fromUtf8(proj_get_name(crs));
    const char *area = nullptr;
    proj_get_area_of_use(h.context, crs, &h.west, &h.south, &h.east, &h.north, &area);
    proj_destroy(crs);
    if (type != PJ_TYPE_PROJECTED_CRS) {
        errorText = QStringLiteral("EPSG:%1 (%2) no es un sistema proyectado: no da metros")
                        .arg(code)
                        .arg(h.name);
        return nullptr;
    }
    PJ *operation = proj_create_crs_to_crs(h.context, "EPSG:4326", name.constData(), nullptr);
    if (operation) {
        // Longitude first in, easting first out, whatever order the systems' axes have.
        h.transformation = proj_normalize_for_visualization(h.context, operation);
        proj_destroy(operation);
    }
    if (!h.transformation) {
        errorText = QStringLiteral("no hay transformación de WGS 84 a EPSG:%1").arg(code);
        return nullptr;
    }
    return system;
}

ProjectedSystem::~ProjectedSystem()
{
    if (!handles)
        return;
    proj_destroy(handles->transformation);
    proj_context_destroy(handles->context);
}

QString ProjectedSystem::transformationText() const
{
    const std::lock_guard<std::mutex> lock(mutex);
    const Handles &h = *handles;
    // Where PROJ holds several candidates it chooses per point: the one it takes in the middle of
    // the system's area of use stands for the run.
    const double longitude =
        h.west <= h.east ? (h.west + h.east) / 2 : std::remainder((h.west + h.east + 360) / 2, 360);
    proj_trans(h.transformation, PJ_FWD, proj_coord(longitude, (h.south + h.north) / 2, 0, 0));
    PJ *used = proj_trans_get_last_used_operation(h.transformation);
    PJ *operation = used ? used : h.transformation;
    const PJ_PROJ_INFO info = proj_pj_info(operation);
    const double accuracy = proj_coordoperation_get_accuracy(h.context, operation);
    const QString description = QString::fromUtf8(info.description);
    if (used)
        proj_destroy(used);
    return QStringLiteral("EPSG:%1 (%2): transformación «%3», exactitud %4")
        .arg(handles->code)
        .arg(handles->name, description,
             accuracy < 0 ? QStringLiteral("desconocida")
                          : metresText(accuracy, 3) + QStringLiteral(" m"));
}

std::optional<QPointF> ProjectedSystem::project(double latitude, double longitude) const
{
    const Handles &h = *handles;
    const bool inLongitude = h.west <= h.east ? longitude >= h.west && longitude <= h.east
                                              : longitude >= h.west || longitude <= h.east;
    if (!inLongitude || latitude < h.south || latitude > h.north)
        return std::nullopt;
    const std::lock_guard<std::mutex> lock(mutex);
    const PJ_COORD out =
        proj_trans(h.transformation, PJ_FWD, proj_coord(longitude, latitude, 0, 0));
    if (!std::isfinite(out.xy.x) || !std::isfinite(out.xy.y) || out.xy.x == HUGE_VAL)
        return std::nullopt;
    return QPointF(out.xy.x, out.xy.y);
}

std::optional<int> epsgCodeOf(const QString &field)
{
    const QRegularExpressionMatch match = epsgField.match(field);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toInt();
}

bool templateFields(const QString &text, const AttributeTable *attributes, QStringList &fields,
                    QString &errorText)
{
    QStringList pieces;
    if (!split(text, pieces)) {
        errorText = QStringLiteral("llave sin cerrar en «%1»").arg(text);
        return false;
    }
    fields.clear();
    for (qsizetype i = 1; i < pieces.size(); i += 2) {
        const QString &field = pieces.at(i);
        if (!photoFields.contains(field) && !epsgCodeOf(field) &&
            !(attributes && attributes->columns.contains(field))) {
            errorText = QStringLiteral("campo desconocido {%1} en «%2»").arg(field, text);
            return false;
        }
        if (!fields.contains(field))
            fields << field;
    }
    return true;
}

QString fieldText(const QString &field, const StampTemplates &templates, const StampValues &values,
                  QStringList &warnings)
{
    if (field == QLatin1String("fecha"))
        return values.captureDate.toString(QStringLiteral("dd/MM/yyyy"));
    if (field == QLatin1String("hora"))
        return values.captureDate.toString(QStringLiteral("HH:mm:ss"));
    if (field == QLatin1String("utm"))
        return values.utm;
    if (field == QLatin1String("latlon"))
        return values.latLonKnown ? QStringLiteral("%1, %2")
                                        .arg(values.latitude, 0, 'f', 6)
                                        .arg(values.longitude, 0, 'f', 6)
                                  : QString();
    if (field == QLatin1String("gms"))
        return values.latLonKnown
                   ? sexagesimal(values.latitude, QStringLiteral("N"), QStringLiteral("S")) +
                         QLatin1Char(' ') +
                         sexagesimal(values.longitude, QStringLiteral("E"), QStringLiteral("O"))
                   : QString();
    if (field == QLatin1String("mgrs"))
        return values.latLonKnown ? mgrsText(values.latitude, values.longitude) : QString();
    if (field == QLatin1String("altitud"))
        return values.altitude
                   ? QString::number(std::lround(*values.altitude)) + QStringLiteral(" m")
                   : QString();
    if (field == QLatin1String("rumbo"))
        return values.orientationKnown ? headingText(values) : QString();
    if (field == QLatin1String("error"))
        return values.positioningErrorMetres
                   ? QStringLiteral("± ") + metresText(*values.positioningErrorMetres, 1) +
                         QStringLiteral(" m")
                   : QString();
    if (field == QLatin1String("archivo"))
        return values.originalName;
    if (field == QLatin1String("nombre"))
        return values.finalName;
    if (field == QLatin1String("descripcion"))
        return values.description;
    if (const std::optional<int> code = epsgCodeOf(field)) {
        const auto system = templates.systems.value(*code);
        if (!system || !values.latLonKnown)
            return QString();
        const std::optional<QPointF> projected = system->project(values.latitude, values.longitude);
        if (!projected) {
            warnings << QStringLiteral("%1 está fuera del área de uso de EPSG:%2; {%3} queda "
                                       "vacío.")
                            .arg(values.originalName, QString::number(*code), field);
            return QString();
        }
        return QStringLiteral("%1 %2")
            .arg(projected->x(), 0, 'f', 2)
            .arg(projected->y(), 0, 'f', 2);
    }
    if (templates.attributes && values.attributes) {
        const qsizetype column = templates.attributes->columns.indexOf(field);
        if (column >= 0 && column < values.attributes->size())
            return values.attributes->at(column).trimmed();
    }
    return QString();
}

StampText stampText(const StampTemplates &templates, const StampValues &values,
                    QStringList &warnings)
{
    StampText text;
    if (const auto date = expand(templates.date, templates, values, warnings))
        text.dateLines << *date;
    for (const QString &line : QStringList{templates.coordinates} + templates.lines)
        if (const auto expanded = expand(line, templates, values, warnings))
            text.coordinateLines << *expanded;
    warnings.removeDuplicates();
    return text;
}
