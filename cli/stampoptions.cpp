// The stamp options' checks: every field of every template known, every system projected, the
// attribute file read, before the first photo.
#include "stampoptions.h"

#include <QFile>

namespace {

// One CSV record's fields: commas part them, double quotes hold commas, quotes and line breaks.
QStringList csvFields(const QString &text, qsizetype &at)
{
    QStringList fields;
    QString field;
    bool quoted = false;
    for (; at < text.size(); ++at) {
        const QChar c = text.at(at);
        if (quoted) {
            if (c == QLatin1Char('"') && at + 1 < text.size() &&
                text.at(at + 1) == QLatin1Char('"')) {
                field += c;
                ++at;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            fields << field;
            field.clear();
        } else if (c == QLatin1Char('\n')) {
            ++at;
            break;
        } else if (c != QLatin1Char('\r')) {
            field += c;
        }
    }
    fields << field;
    return fields;
}

const QStringList templateOptions{QStringLiteral("texto-fecha"),
                                  QStringLiteral("texto-coordenadas"), QStringLiteral("linea")};

} // namespace

bool readAttributeFile(const QString &path, AttributeTable &table, QString &errorText)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText =
            QStringLiteral("no se puede leer el archivo %1 (%2)").arg(path, file.errorString());
        return false;
    }
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    qsizetype at = 0;
    QStringList header = csvFields(text, at);
    for (QString &name : header)
        name = name.trimmed();
    if (header.size() < 2) {
        errorText =
            QStringLiteral("%1 no tiene columnas de atributos tras la de la foto").arg(path);
        return false;
    }
    table.columns = header.mid(1);
    for (const QString &name : std::as_const(table.columns))
        if (name.isEmpty() || name.contains(QLatin1Char('{')) || name.contains(QLatin1Char('}'))) {
            errorText = QStringLiteral("%1: nombre de columna no válido «%2»").arg(path, name);
            return false;
        }
    while (at < text.size()) {
        const QStringList fields = csvFields(text, at);
        const QString photo = fields.first().trimmed();
        if (photo.isEmpty())
            continue;
        table.rows.insert(photo, fields.mid(1));
    }
    return true;
}

QString checkStampOptions(const QCommandLineParser &parser, LoteRequest &request)
{
    BatchJob &job = request.job;
    if (parser.isSet(QStringLiteral("como-ventana"))) {
        for (const QString &option :
             templateOptions + QStringList{QStringLiteral("fondo"), QStringLiteral("atributos"),
                                           QStringLiteral("orientar"),
                                           QStringLiteral("sin-perdidas")})
            if (parser.isSet(option))
                return QStringLiteral("--como-ventana: no se combina con --") + option;
        job.templates.reset();
        return QString();
    }
    auto attributes = std::make_shared<AttributeTable>();
    if (!request.attributesPath.isEmpty()) {
        QString errorText;
        if (!readAttributeFile(request.attributesPath, *attributes, errorText))
            return QStringLiteral("--atributos: ") + errorText;
        request.templates.attributes = attributes;
    }
    const auto check = [&](const QString &option, const QString &text) -> QString {
        QStringList fields;
        QString errorText;
        if (!templateFields(text, request.templates.attributes.get(), fields, errorText))
            return QStringLiteral("--") + option + QStringLiteral(": ") + errorText;
        for (const QString &field : std::as_const(fields)) {
            const std::optional<int> code = epsgCodeOf(field);
            if (!code || request.templates.systems.contains(*code))
                continue;
            const auto system = ProjectedSystem::open(*code, errorText);
            if (!system)
                return QStringLiteral("--") + option + QStringLiteral(": ") + errorText;
            request.notes << QStringLiteral("Sistema ") + system->transformationText();
            request.templates.systems.insert(*code, system);
        }
        return QString();
    };
    QString problem = check(QStringLiteral("texto-fecha"), request.templates.date);
    if (problem.isEmpty())
        problem = check(QStringLiteral("texto-coordenadas"), request.templates.coordinates);
    for (const QString &line : std::as_const(request.templates.lines))
        if (problem.isEmpty())
            problem = check(QStringLiteral("linea"), line);
    if (!problem.isEmpty())
        return problem;
    job.templates = std::make_shared<const StampTemplates>(request.templates);
    return QString();
}
