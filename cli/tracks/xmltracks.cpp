// GPX (1.0 and 1.1), KML (gx:Track, timed Placemarks) and TCX through one streaming XML pass.
#include "trackreaders.h"

#include <QIODevice>
#include <QStringList>
#include <QXmlStreamReader>

namespace {

double number(QStringView text, bool &ok)
{
    return text.trimmed().toDouble(&ok);
}

QByteArray latin(const QString &text)
{
    return text.toLatin1();
}

// A GPX point: trkpt, rtept or wpt, whose children come before its end.
void readGpxPoint(QXmlStreamReader &xml, TrackReading &reading, bool &segmentStart)
{
    bool latOk = false;
    bool lonOk = false;
    TrackPoint point;
    point.latitude = number(xml.attributes().value(QLatin1String("lat")), latOk);
    point.longitude = number(xml.attributes().value(QLatin1String("lon")), lonOk);
    bool timed = false;
    bool noFix = false;
    const QString element = xml.name().toString();
    while (xml.readNextStartElement()) {
        const QStringView name = xml.name();
        if (name == QLatin1String("time")) {
            timed = parseIsoMsecs(latin(xml.readElementText()), point.msecs);
        } else if (name == QLatin1String("ele")) {
            bool ok = false;
            const double value = xml.readElementText().toDouble(&ok);
            if (ok)
                point.elevation = storedFloat(value);
        } else if (name == QLatin1String("fix")) {
            noFix = xml.readElementText().trimmed() == QLatin1String("none");
        } else if (name == QLatin1String("sat")) {
            bool ok = false;
            const int value = xml.readElementText().toInt(&ok);
            if (ok && value >= 0 && value < 1000)
                point.satellites = qint16(value);
        } else if (name == QLatin1String("hdop")) {
            bool ok = false;
            const double value = xml.readElementText().toDouble(&ok);
            if (ok)
                point.hdop = storedFloat(value);
        } else {
            xml.skipCurrentElement();
        }
    }
    // A waypoint or route point without a time is a place, not a fix.
    if (!timed || xml.hasError())
        return;
    if (!latOk || !lonOk) {
        ++reading.damaged;
        return;
    }
    if (noFix) {
        ++reading.withoutFix;
        return;
    }
    point.segmentStart = segmentStart || element == QLatin1String("wpt");
    segmentStart = false;
    addPoint(reading, point);
}

// "lon lat [alt]" (gx:coord) or "lon,lat[,alt]" (coordinates).
bool kmlCoordinates(const QString &text, TrackPoint &point)
{
    const QStringList parts = text.simplified().split(
        text.contains(QLatin1Char(',')) ? QLatin1Char(',') : QLatin1Char(' '));
    if (parts.size() < 2)
        return false;
    bool latOk = false;
    bool lonOk = false;
    point.longitude = parts[0].trimmed().toDouble(&lonOk);
    point.latitude = parts[1].trimmed().toDouble(&latOk);
    if (parts.size() > 2) {
        bool ok = false;
        const double altitude = parts[2].trimmed().toDouble(&ok);
        if (ok)
            point.elevation = storedFloat(altitude);
    }
    return latOk && lonOk;
}

struct KmlState
{
    std::vector<qint64> whens; // of the gx:Track being read
    std::vector<QString> coords;
    bool inTrack = false;
    bool inPlacemark = false;
    bool inTimeStamp = false;
    bool inPoint = false;
    bool placemarkTimed = false;
    bool placemarkPlaced = false;
    TrackPoint placemark;
    int untimedLines = 0;
};

void kmlStart(QXmlStreamReader &xml, KmlState &kml)
{
    const QStringView name = xml.name();
    if (name == QLatin1String("Track")) {
        kml.inTrack = true;
        kml.whens.clear();
        kml.coords.clear();
    } else if (kml.inTrack && name == QLatin1String("when")) {
        qint64 msecs = 0;
        // A when that is no time still holds its place against the coordinates.
        kml.whens.push_back(parseIsoMsecs(latin(xml.readElementText()), msecs)
                                ? msecs
                                : std::numeric_limits<qint64>::min());
    } else if (kml.inTrack && name == QLatin1String("coord")) {
        kml.coords.push_back(xml.readElementText());
    } else if (name == QLatin1String("Placemark")) {
        const int untimedLines = kml.untimedLines;
        kml = KmlState();
        kml.inPlacemark = true;
        kml.untimedLines = untimedLines;
    } else if (kml.inPlacemark && name == QLatin1String("TimeStamp")) {
        kml.inTimeStamp = true;
    } else if (kml.inTimeStamp && name == QLatin1String("when")) {
        kml.placemarkTimed = parseIsoMsecs(latin(xml.readElementText()), kml.placemark.msecs);
    } else if (kml.inPlacemark && name == QLatin1String("Point")) {
        kml.inPoint = true;
    } else if (kml.inPoint && name == QLatin1String("coordinates")) {
        kml.placemarkPlaced = kmlCoordinates(xml.readElementText(), kml.placemark);
    } else if (name == QLatin1String("LineString") && !kml.inTrack) {
        ++kml.untimedLines;
    }
}

void kmlEnd(QXmlStreamReader &xml, KmlState &kml, TrackReading &reading)
{
    const QStringView name = xml.name();
    if (name == QLatin1String("Track") && kml.inTrack) {
        kml.inTrack = false;
        // A gx:Track pairs the n-th when with the n-th coord; any beyond the pairs are damage.
        const size_t pairs = std::min(kml.whens.size(), kml.coords.size());
        reading.damaged += int(std::max(kml.whens.size(), kml.coords.size()) - pairs);
        bool first = true;
        for (size_t i = 0; i < pairs; ++i) {
            TrackPoint point;
            if (kml.whens[i] == std::numeric_limits<qint64>::min() ||
                !kmlCoordinates(kml.coords[i], point)) {
                ++reading.damaged;
                continue;
            }
            point.msecs = kml.whens[i];
            point.segmentStart = first;
            first = false;
            addPoint(reading, point);
        }
    } else if (name == QLatin1String("TimeStamp")) {
        kml.inTimeStamp = false;
    } else if (name == QLatin1String("Point")) {
        kml.inPoint = false;
    } else if (name == QLatin1String("Placemark") && kml.inPlacemark) {
        kml.inPlacemark = false;
        if (kml.placemarkTimed && kml.placemarkPlaced) {
            kml.placemark.segmentStart = reading.points.empty();
            addPoint(reading, kml.placemark);
        }
    }
}

struct TcxState
{
    bool inPoint = false;
    bool timed = false;
    bool hasLatitude = false;
    bool hasLongitude = false;
    bool segmentStart = true;
    TrackPoint point;
};

void tcxStart(QXmlStreamReader &xml, TcxState &tcx)
{
    const QStringView name = xml.name();
    if (name == QLatin1String("Track")) {
        tcx.segmentStart = true;
    } else if (name == QLatin1String("Trackpoint")) {
        tcx = TcxState{true, false, false, false, tcx.segmentStart, {}};
    } else if (!tcx.inPoint) {
        return;
    } else if (name == QLatin1String("Time")) {
        tcx.timed = parseIsoMsecs(latin(xml.readElementText()), tcx.point.msecs);
    } else if (name == QLatin1String("LatitudeDegrees")) {
        tcx.point.latitude = xml.readElementText().toDouble(&tcx.hasLatitude);
    } else if (name == QLatin1String("LongitudeDegrees")) {
        tcx.point.longitude = xml.readElementText().toDouble(&tcx.hasLongitude);
    } else if (name == QLatin1String("AltitudeMeters")) {
        bool ok = false;
        const double value = xml.readElementText().toDouble(&ok);
        if (ok)
            tcx.point.elevation = storedFloat(value);
    }
}

void tcxEnd(QXmlStreamReader &xml, TcxState &tcx, TrackReading &reading)
{
    if (xml.name() != QLatin1String("Trackpoint") || !tcx.inPoint)
        return;
    tcx.inPoint = false;
    // A point without a position is a pause in the recording, not damage.
    if (!tcx.timed || !tcx.hasLatitude || !tcx.hasLongitude)
        return;
    tcx.point.segmentStart = tcx.segmentStart;
    tcx.segmentStart = false;
    addPoint(reading, tcx.point);
}

} // namespace

void readXmlTrack(QIODevice &device, TrackReading &reading)
{
    QXmlStreamReader xml(&device);
    if (!xml.readNextStartElement()) {
        reading.error = QStringLiteral("el XML está dañado o vacío (%1)").arg(xml.errorString());
        return;
    }
    const QString root = xml.name().toString();
    KmlState kml;
    TcxState tcx;
    if (root == QLatin1String("gpx")) {
        const QString version = xml.attributes().value(QLatin1String("version")).toString();
        reading.format = QStringLiteral("GPX %1").arg(version).trimmed();
        bool segmentStart = true;
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const QStringView name = xml.name();
            if (name == QLatin1String("trkseg") || name == QLatin1String("rte") ||
                name == QLatin1String("trk"))
                segmentStart = true;
            else if (name == QLatin1String("trkpt") || name == QLatin1String("rtept") ||
                     name == QLatin1String("wpt"))
                readGpxPoint(xml, reading, segmentStart);
        }
    } else if (root == QLatin1String("kml")) {
        reading.format = QStringLiteral("KML");
        while (!xml.atEnd()) {
            const QXmlStreamReader::TokenType token = xml.readNext();
            if (token == QXmlStreamReader::StartElement)
                kmlStart(xml, kml);
            // readElementText leaves the reader on the element's end, which is seen here too.
            if (xml.tokenType() == QXmlStreamReader::EndElement)
                kmlEnd(xml, kml, reading);
        }
    } else if (root == QLatin1String("TrainingCenterDatabase")) {
        reading.format = QStringLiteral("TCX");
        while (!xml.atEnd()) {
            const QXmlStreamReader::TokenType token = xml.readNext();
            if (token == QXmlStreamReader::StartElement)
                tcxStart(xml, tcx);
            if (xml.tokenType() == QXmlStreamReader::EndElement)
                tcxEnd(xml, tcx, reading);
        }
    } else {
        reading.error = QStringLiteral("es un XML <%1>, no GPX, KML ni TCX").arg(root);
        return;
    }
    if (xml.hasError()) {
        ++reading.damaged;
        if (reading.points.empty())
            reading.error = QStringLiteral("el %1 está dañado: %2 (línea %3)")
                                .arg(reading.format, xml.errorString())
                                .arg(xml.lineNumber());
    }
    if (reading.points.empty() && reading.error.isEmpty() && kml.untimedLines > 0)
        reading.error = QStringLiteral("el KML solo tiene líneas (LineString), que no llevan "
                                       "horas; se necesita un gx:Track o marcas con TimeStamp");
}
