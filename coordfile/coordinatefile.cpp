// Reads the comma-separated coordinate text file into the per-photo UTM table.
#include "coordinatefile.h"

#include <QFile>
#include <QStringList>
#include <QTextStream>

bool operator==(const CoordinateRecord &a, const CoordinateRecord &b)
{
    return a.zoneNumber == b.zoneNumber && a.zoneLetter == b.zoneLetter && a.easting == b.easting &&
           a.northing == b.northing && a.hasOrientation == b.hasOrientation &&
           (!a.hasOrientation || a.orientation == b.orientation);
}

namespace {

bool isHeader(const QString &line)
{
    return line.contains(QLatin1String("nombre"), Qt::CaseInsensitive) &&
           (line.contains(QLatin1String("easting"), Qt::CaseInsensitive) ||
            line.contains(QLatin1String("zona"), Qt::CaseInsensitive));
}

using ProblemSink = std::function<void(const RowProblem &)>;

// One line that is neither the header nor blank: stored, or reported for its first bad field.
void readRow(const QString &line, int lineNumber, CoordinateTable &table, const ProblemSink &report)
{
    const auto log = [&](const QString &message, bool kept = false) {
        report({lineNumber, message, kept});
    };
    const QStringList parts = line.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (parts.size() < 5) {
        log(QStringLiteral("Línea inválida en archivo txt (menos de 5 columnas): ") + line);
        return;
    }

    const QString name = parts.at(0).trimmed();
    CoordinateRecord record;
    bool ok = false;

    const QString zone = parts.at(1).trimmed();
    record.zoneNumber = zone.toInt(&ok, 10);
    if (!ok) {
        log(QStringLiteral("Zona UTM inválida para ") + name + QStringLiteral(": ") + zone);
        return;
    }

    const QString letter = parts.at(2).trimmed();
    record.zoneLetter = letter.isEmpty() ? 'N' : letter.at(0).toLatin1();

    const QString easting = parts.at(3).trimmed();
    record.easting = easting.toDouble(&ok);
    if (!ok) {
        log(QStringLiteral("Easting inválido para ") + name + QStringLiteral(": ") + easting);
        return;
    }

    const QString northing = parts.at(4).trimmed();
    record.northing = northing.toDouble(&ok);
    if (!ok) {
        log(QStringLiteral("Northing inválido para ") + name + QStringLiteral(": ") + northing);
        return;
    }

    if (parts.size() >= 6) {
        const QString orientation = parts.at(5).trimmed();
        const double value = orientation.toDouble(&ok);
        if (ok) {
            record.orientation = value;
            record.hasOrientation = true;
        } else {
            // The position is still good; only the compass rose loses its heading.
            log(QStringLiteral("Orientación inválida para ") + name + QStringLiteral(": ") +
                    orientation,
                true);
        }
    }

    table.insert(name, record);
}

} // namespace

CoordinateTable readCoordinateFile(const QString &filePath, LogCallback log)
{
    return readCoordinateFile(filePath,
                              [&log](const RowProblem &problem) { log(problem.message); });
}

CoordinateTable readCoordinateFile(const QString &filePath, const ProblemSink &report)
{
    CoordinateTable table;

    // Not opened in text mode: that would silently drop a lone CR (old Mac and some spreadsheet
    // exports) and glue two rows into one. The stream already strips LF and CR LF, and a lone
    // CR is taken as a line end below, which is what such a file means.
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        report({0, QStringLiteral("Error al abrir el archivo TXT: ") + filePath, false});
        return table;
    }

    QTextStream in(&file);
    bool firstLine = true;
    int lineNumber = 0;
    const auto handleLine = [&](const QString &line) {
        ++lineNumber;
        if (firstLine) {
            firstLine = false;
            if (isHeader(line))
                return;
        }
        if (!line.trimmed().isEmpty())
            readRow(line, lineNumber, table, report);
    };
    while (!in.atEnd()) {
        const QString line = in.readLine();
        if (line.contains(QLatin1Char('\r'))) {
            for (const QString &part : line.split(QLatin1Char('\r')))
                handleLine(part);
        } else {
            handleLine(line);
        }
    }
    return table;
}
