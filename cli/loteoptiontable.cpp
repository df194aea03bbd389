// Every option of cartaluz-lote, one row each, in the order the help lists them. A new option is
// one row here; checks that weigh one option against another stay in loteoptions.cpp.
#include "loteoptiontable.h"

#include "loteoptions.h"

#include <QColor>

#include "annotationfont.h"

namespace {

using R = LoteRequest;

const QString photos = QStringLiteral("Fotos");
const QString drawing = QStringLiteral("Dibujo");
const QString texts = QStringLiteral("Textos");
const QString tracks = QStringLiteral("Track GPS y capa");
const QString reports =
    QStringLiteral("Informe y KMZ (con --simular, de las fotos como están, marcadas «Simulación»)");
const QString running = QStringLiteral("Ejecución");

LoteOption flag(const QString &group, const QString &name, const QString &description,
                std::function<void(R &)> sets)
{
    LoteOption option;
    option.group = group;
    option.names = QStringList{name};
    option.description = description;
    option.sets = [sets](R &request, const QString &) {
        sets(request);
        return QString();
    };
    return option;
}

LoteOption valued(const QString &group, const QString &name, const QString &valueName,
                  const QString &description, const QString &defaultText, LoteValue kind,
                  LoteSetter sets)
{
    LoteOption option;
    option.group = group;
    option.names = QStringList{name};
    option.valueName = valueName;
    option.description = description;
    option.defaultText = defaultText;
    option.kind = kind;
    option.sets = std::move(sets);
    return option;
}

LoteOption ranged(LoteOption option, double minimum, double maximum)
{
    option.minimum = minimum;
    option.maximum = maximum;
    return option;
}

LoteOption chosen(LoteOption option, const QStringList &choices, const QString &noun)
{
    option.choices = choices;
    option.choiceNoun = noun;
    return option;
}

// A setter that stores the value as given.
LoteSetter into(std::function<QString &(R &)> field)
{
    return [field](R &request, const QString &value) {
        field(request) = value;
        return QString();
    };
}

LoteSetter decimalInto(std::function<double &(R &)> field)
{
    return [field](R &request, const QString &value) {
        field(request) = value.toDouble();
        return QString();
    };
}

LoteSetter cornerInto(std::function<Corner &(R &)> field)
{
    return [field](R &request, const QString &value) {
        field(request) = cornerFromName(value);
        return QString();
    };
}

std::vector<LoteOption> makeOptions()
{
    std::vector<LoteOption> table;
    const auto add = [&table](LoteOption option) {
        table.push_back(std::move(option));
    };

    add(flag(photos, "subdirectorios", "incluir las subcarpetas (no)",
             [](R &r) { r.job.includeSubdirectories = true; }));
    add(valued(photos, "txt", "ARCHIVO", "posiciones del archivo de coordenadas (sin él: EXIF)",
               QString(), LoteValue::File, into([](R &r) -> QString & { return r.job.txtPath; })));
    add(flag(photos, "txt-a-exif", "con --txt, escribir también las posiciones en el EXIF",
             [](R &r) { r.job.embedTxtInExif = true; }));
    add(flag(photos, "sin-backup", "no copiar cada foto a la carpeta Backup",
             [](R &r) { r.job.makeBackup = false; }));
    add(flag(photos, "sin-renombrar", "no renombrar las fotos a coordenadas UTM",
             [](R &r) { r.job.renameToUtm = false; }));
    add(valued(photos, "prefijo", "TEXTO", "anteponer TEXTO al nombre nuevo, tal cual", QString(),
               LoteValue::Text, [](R &r, const QString &value) {
                   r.job.addPrefix = true;
                   r.job.prefix = value;
                   return QString();
               }));
    add(flag(photos, "como-guardada",
             "pintar la foto como está guardada, sin aplicar su Orientación EXIF (no: se pinta "
             "derecha, como la muestran los visores; al recodificarla se escribe Orientación 1)",
             [](R &r) { r.job.orientUpright = false; }));
    add(flag(photos, "orientar", "lo contrario de --como-guardada (es lo que se hace por omisión)",
             [](R &) {}));
    add(flag(photos, "todo-jpeg",
             "toda foto renombrada pasa a JPEG, como en la ventana (no: un PNG sigue PNG y un "
             "TIFF sigue TIFF, con su extensión)",
             [](R &r) { r.job.keepFormat = false; }));
    add(ranged(valued(photos, "calidad", "N", "calidad JPEG de toda foto recodificada, 1 a 100",
                      "90; 92 para las "
                      "HEIC/HEIF, que se convierten a JPEG y van a Backup",
                      LoteValue::Integer,
                      [](R &r, const QString &value) {
                          r.job.quality = value.toInt();
                          return QString();
                      }),
               1, 100));
    add(flag(photos, "recodificar",
             "recodificar la foto entera con calidad 90, como la ventana (no: en los JPEG solo se "
             "recodifican los bloques de 8 × 8 bajo lo dibujado, con las tablas de la foto, y el "
             "resto queda igual; derecha, la foto queda como está guardada, con su Orientación, "
             "y lo dibujado se gira; los JPEG CMYK o aritméticos, las fotos que no son JPEG y las "
             "que cambian de formato al renombrarse se recodifican, con una línea en el "
             "registro)",
             [](R &r) { r.job.lossless = false; }));
    add(flag(photos, "sin-perdidas",
             "lo contrario de --recodificar (es lo que se hace por omisión)", [](R &) {}));
    add(flag(photos, "posicion-fija",
             "a las fotos sin posición, darles la posición fija 19J 500000 6000000 como la "
             "ventana (no: se dejan sin tocar)",
             [](R &r) { r.job.fixedPositionWhenMissing = true; }));

    add(valued(drawing, "logo", "ARCHIVO", "dibujar este logo (sin él, ningún logo)", QString(),
               LoteValue::File, into([](R &r) -> QString & { return r.job.logoPath; })));
    add(valued(drawing, "fuente", "ARCHIVO",
               "archivo de fuente (notosans.ttf junto al programa; si no está, la Noto Sans del "
               "sistema)",
               QString(), LoteValue::File,
               into([](R &r) -> QString & { return r.job.style.fontPath; })));
    add(valued(drawing, "color-fuente", "COLOR", "color del texto, p. ej. #FFFF00 o yellow",
               "#FFFFFF", LoteValue::Text, [](R &r, const QString &value) {
                   if (!QColor::isValidColorName(value))
                       return QStringLiteral("color desconocido «%1»").arg(value);
                   r.job.style.textColor = QColor(value);
                   return QString();
               }));
    add(ranged(valued(drawing, "ratio-fuente", "R", "alto del texto / alto de la foto, 0.01 a 0.1",
                      "0.03", LoteValue::Decimal,
                      decimalInto([](R &r) -> double & { return r.job.style.fontRatio; })),
               0.01, 0.1));
    add(ranged(valued(drawing, "ratio-logo", "R", "ancho del logo / ancho de la foto, 0.01 a 0.3",
                      "0.2", LoteValue::Decimal,
                      decimalInto([](R &r) -> double & { return r.job.style.logoRatio; })),
               0.01, 0.3));
    add(ranged(valued(drawing, "ratio-rosa", "R", "lado de la rosa / lado menor, 0.05 a 0.5",
                      "0.18", LoteValue::Decimal,
                      decimalInto([](R &r) -> double & { return r.job.style.roseRatio; })),
               0.05, 0.5));
    add(valued(drawing, "posicion-logo", "ESQUINA", QString(), "arriba-izquierda",
               LoteValue::Corner,
               cornerInto([](R &r) -> Corner & { return r.job.style.logoPosition; })));
    add(valued(drawing, "posicion-fecha", "ESQUINA", QString(), "abajo-derecha", LoteValue::Corner,
               cornerInto([](R &r) -> Corner & { return r.job.style.dateTimePosition; })));
    add(valued(drawing, "posicion-coordenadas", "ESQUINA", QString(), "abajo-derecha",
               LoteValue::Corner,
               cornerInto([](R &r) -> Corner & { return r.job.style.coordinatesPosition; })));
    add(valued(drawing, "posicion-rosa", "ESQUINA",
               "ESQUINA: arriba-izquierda, arriba-derecha, abajo-izquierda o abajo-derecha",
               "abajo-izquierda", LoteValue::Corner,
               cornerInto([](R &r) -> Corner & { return r.job.style.rosePosition; })));
    add(flag(drawing, "sin-texto", "no dibujar fecha ni coordenadas",
             [](R &r) { r.job.style.drawText = false; }));
    add(flag(drawing, "sin-rosa", "no dibujar la rosa de los vientos",
             [](R &r) { r.job.style.drawRose = false; }));

    add(valued(texts, "texto-fecha", "PLANTILLA", "lo que dice la línea de la fecha",
               "{fecha} {hora}", LoteValue::Text,
               into([](R &r) -> QString & { return r.templates.date; })));
    add(valued(texts, "texto-coordenadas", "PLANTILLA", "lo que dice la línea de coordenadas",
               "UTM {utm}", LoteValue::Text,
               into([](R &r) -> QString & { return r.templates.coordinates; })));
    add(valued(texts, "linea", "PLANTILLA",
               "añadir una línea bajo la de coordenadas, en su esquina; se puede repetir",
               QString(), LoteValue::Text, [](R &r, const QString &value) {
                   r.templates.lines << value;
                   return QString();
               }));
    add(valued(texts, "atributos", "ARCHIVO",
               "CSV en UTF-8 con encabezado: la primera columna nombra la foto (su nombre o su "
               "ruta relativa, como las filas de --txt) y cada otra columna es un campo con el "
               "nombre de su encabezado, p. ej. {punto}; una foto sin fila deja esos campos "
               "vacíos, con un aviso",
               QString(), LoteValue::File,
               into([](R &r) -> QString & { return r.attributesPath; })));
    add(chosen(valued(texts, "fondo", "FONDO",
                      "detrás de las letras del texto y de la rosa: contorno (un borde oscuro "
                      "alrededor de cada letra), caja (una caja oscura translúcida por línea) o "
                      "ninguno",
                      "contorno", LoteValue::Choice,
                      [](R &r, const QString &value) {
                          const QString chosen = value.toLower();
                          r.job.style.background =
                              chosen == QLatin1String("caja")      ? TextBackground::Box
                              : chosen == QLatin1String("ninguno") ? TextBackground::None
                                                                   : TextBackground::Halo;
                          return QString();
                      }),
               {"contorno", "caja", "ninguno"}, "fondo desconocido"));
    add(flag(texts, "como-ventana",
             "dibujar y guardar como la ventana: sus dos líneas, el texto sin fondo, la W en la "
             "rosa, la foto como está guardada, toda foto renombrada a JPEG, la foto entera "
             "recodificada con calidad 90 y la posición fija para las fotos sin posición (no con "
             "las demás opciones de este grupo, --orientar ni --sin-perdidas)",
             [](R &r) {
                 r.job.style.background = TextBackground::None;
                 r.job.style.westLetter = QStringLiteral("W");
                 r.job.orientUpright = false;
                 r.job.keepFormat = false;
                 r.job.lossless = false;
                 r.job.fixedPositionWhenMissing = true;
             }));
    add(valued(texts, "muestra", "FOTO",
               "en vez de procesar, dibujar en ARCHIVO.png, dado en lugar de CARPETA, lo que la "
               "ejecución estamparía en FOTO, con el lado mayor de 1600 píxeles; no toca nada más",
               QString(), LoteValue::File, into([](R &r) -> QString & { return r.previewPhoto; })));

    add(valued(tracks, "track", "ARCHIVO",
               "track GPS: las fotos sin posición en el EXIF la toman del track por su hora de "
               "captura (DateTimeOriginal; si no, la de XMP o IPTC; nunca la fecha de "
               "modificación); GPX, NMEA 0183, KML/KMZ, TCX, IGC, historial de ubicaciones "
               "(JSON), CSV con cabecera o FIT (con gpsbabel), según su contenido; se puede "
               "repetir (no con --txt) y los tracks se unen por hora; los puntos sin fix o con "
               "coordenadas imposibles se omiten",
               QString(), LoteValue::File, [](R &r, const QString &value) {
                   r.trackPaths << value;
                   return QString();
               }));
    add(valued(tracks, "zona-camara", "±HH:MM",
               "zona horaria del reloj de la cámara, p. ej. -05, +5:30 (sin ella: "
               "OffsetTimeOriginal, la zona que indique la fecha XMP o IPTC, o la de este equipo)",
               QString(), LoteValue::Text, [](R &r, const QString &value) {
                   int seconds = 0;
                   QString errorText;
                   if (!parseCameraZoneOption(value, seconds, errorText))
                       return errorText;
                   r.clock.zoneOffsetSeconds = seconds;
                   r.cameraZoneSeconds = seconds;
                   return QString();
               }));
    add(valued(tracks, "ajuste-reloj", "±SEGUNDOS", "hora de la cámara menos la hora real", "0",
               LoteValue::Text, [](R &r, const QString &value) {
                   QString errorText;
                   parseClockAdjustOption(value, r.clock.adjustSeconds, errorText);
                   return errorText;
               }));
    add(valued(tracks, "sincronizar", "\"CAMARA=REAL\"",
               "la hora real a la que el reloj de la cámara marcaba CAMARA "
               "(\"2024:05:01 10:00:00=2024:05:01 10:00:42\"); se puede repetir para un reloj que "
               "deriva: la corrección se interpola entre los puntos (no con --ajuste-reloj)",
               QString(), LoteValue::Text, [](R &r, const QString &value) {
                   QString errorText;
                   parseSyncOption(value, r.clock, errorText);
                   return errorText;
               }));
    add(valued(tracks, "max-hdop", "N", "omitir los puntos con un HDOP mayor que N", QString(),
               LoteValue::Text, [](R &r, const QString &value) {
                   double hdop = 0;
                   QString errorText;
                   if (parseMaxHdopOption(value, hdop, errorText))
                       r.trackFilter.maxHdop = hdop;
                   return errorText;
               }));
    add(valued(tracks, "min-satelites", "N", "omitir los puntos con menos de N satélites",
               QString(), LoteValue::Text, [](R &r, const QString &value) {
                   int count = 0;
                   QString errorText;
                   if (parseMinSatellitesOption(value, count, errorText))
                       r.trackFilter.minSatellites = count;
                   return errorText;
               }));
    add(valued(tracks, "max-intervalo", "SEGUNDOS",
               "separación máxima entre los dos puntos del track que rodean la hora para "
               "interpolar; si no, distancia máxima al punto más cercano",
               "1800; nunca entre segmentos", LoteValue::Text, [](R &r, const QString &value) {
                   QString errorText;
                   parseMaxIntervalOption(value, r.maxIntervalSeconds, errorText);
                   return errorText;
               }));
    add(flag(tracks, "track-a-exif",
             "escribir en el EXIF la posición tomada del track, con su altitud, la hora UTC y el "
             "datum WGS-84",
             [](R &r) { r.job.writeTrackToExif = true; }));
    add(valued(tracks, "capa", "ARCHIVO",
               "escribir un punto por foto procesada, en el formato de la extensión: .gpkg, "
               ".geojson, .kml, .shp o .csv (con .csvt y .prj); las fotos sin posición van sin "
               "geometría; nunca sobrescribe un archivo existente (con --simular, las posiciones "
               "que se usarían)",
               QString(), LoteValue::File, into([](R &r) -> QString & { return r.layerPath; })));

    add(valued(reports, "informe", "ARCHIVO",
               "escribir un informe fotográfico en PDF: portada con el resumen y un mapa de las "
               "fotos y los tracks en el huso UTM de la ejecución; cada foto como quedó, con su "
               "número del mapa, nombres, fecha, posiciones, altitud y orientación; al final, las "
               "fotos sin posición",
               QString(), LoteValue::File,
               into([](R &r) -> QString & { return r.report.pdfPath; })));
    add(valued(reports, "titulo", "TEXTO", "título del informe y del KMZ", "el nombre de CARPETA",
               LoteValue::Text, [](R &r, const QString &value) {
                   r.report.title = value.trimmed();
                   return QString();
               }));
    add(chosen(valued(reports, "fotos-por-pagina", "N", "1, 2 o 4", "2", LoteValue::Choice,
                      [](R &r, const QString &value) {
                          r.report.photosPerPage = value.toInt();
                          return QString();
                      }),
               {"1", "2", "4"}, QString()));
    add(chosen(valued(reports, "papel", "PAPEL", "a4 o carta", "a4", LoteValue::Choice,
                      [](R &r, const QString &value) {
                          r.report.letter = value.toLower() == QLatin1String("carta");
                          return QString();
                      }),
               {"a4", "carta"}, "papel desconocido"));
    add(valued(reports, "mapa-base", "RASTER",
               "ráster que GDAL pueda leer y reproyectar (GeoTIFF, MBTiles…), dibujado bajo el "
               "mapa",
               QString(), LoteValue::File,
               into([](R &r) -> QString & { return r.report.basemapPath; })));
    add(valued(reports, "kmz", "ARCHIVO",
               "escribir un KMZ para Google Earth: un punto por foto, con su icono girado a su "
               "orientación y la foto en el globo; los tracks como líneas; una carpeta por "
               "subcarpeta",
               QString(), LoteValue::File,
               into([](R &r) -> QString & { return r.report.kmzPath; })));
    add(valued(reports, "informe-de", "DIARIO",
               "hacer --informe y --kmz de una ejecución anterior, desde su diario y las fotos "
               "que nombra, sin procesar nada (una foto cambiada desde entonces lleva una nota)",
               QString(), LoteValue::File,
               into([](R &r) -> QString & { return r.report.journalPath; })));

    LoteOption workers = ranged(valued(running, "trabajos", "N", "fotos procesadas a la vez",
                                       "número de núcleos", LoteValue::Integer,
                                       [](R &r, const QString &value) {
                                           r.job.workers = value.toInt();
                                           return QString();
                                       }),
                                1, maxWorkers);
    workers.names.prepend(QStringLiteral("j"));
    add(workers);
    add(flag(running, "simular", "decir qué se haría, sin tocar nada",
             [](R &r) { r.job.dryRun = true; }));
    add(valued(running, "diario", "ARCHIVO",
               "escribir el diario de la ejecución en ARCHIVO (por omisión "
               "Backup/cartaluz-AAAAMMDD-HHMMSS.jsonl en CARPETA; con --sin-backup y sin --diario "
               "no hay diario); nunca sobrescribe un archivo existente",
               QString(), LoteValue::File, into([](R &r) -> QString & { return r.journalPath; })));
    add(flag(running, "reprocesar",
             "procesar también las fotos que ya procesó Cartaluz (no: se omiten, con «Ya "
             "procesada por Cartaluz el …»)",
             [](R &r) { r.job.skipProcessed = false; }));
    add(valued(running, "deshacer", "DIARIO",
               "devolver cada foto de la ejecución del DIARIO a su nombre y contenido de antes, "
               "desde su backup; una foto editada desde entonces, cuyo backup falte o haya "
               "cambiado o cuyo nombre original esté ocupado se deja, con una línea; si vuelven "
               "todas, se borran el diario y las carpetas Backup vacías (sin CARPETA ni otras "
               "opciones que --simular)",
               QString(), LoteValue::File, into([](R &r) -> QString & { return r.undoJournal; })));
    add(valued(running, "ejemplo", "ARCHIVO",
               "escribir el archivo de coordenadas de ejemplo de CARPETA en vez de procesar; "
               "nunca sobrescribe un archivo existente",
               QString(), LoteValue::File, into([](R &r) -> QString & { return r.samplePath; })));
    add(flag(running, "ejemplo-exif", "con --ejemplo, llenar las filas desde el EXIF",
             [](R &r) { r.sampleFromExif = true; }));
    LoteOption help = flag(running, "help", "mostrar esta ayuda", [](R &) {});
    help.names.prepend(QStringLiteral("h"));
    add(help);
    LoteOption version = flag(running, "version", "mostrar la versión", [](R &) {});
    version.names.prepend(QStringLiteral("v"));
    add(version);
    return table;
}

} // namespace

const std::vector<LoteOption> &loteOptions()
{
    static const std::vector<LoteOption> table = makeOptions();
    return table;
}

const std::vector<LoteGroup> &loteGroups()
{
    static const std::vector<LoteGroup> groups{
        {photos,
         "Seguridad (a diferencia de la ventana, nunca se pierde una foto, su nombre ni sus\n"
         "metadatos): una foto se deja sin tocar, con una línea en el registro, si no se pudo\n"
         "copiar a Backup, si no es una imagen legible, si sus metadatos no se pueden leer o si "
         "no\n"
         "tiene posición (GPS, track o fila); las carpetas Backup nunca se recorren; las fotos "
         "van\n"
         "por nombre, sin distinguir mayúsculas; una foto que ya lleva su nombre UTM lo "
         "conserva;\n"
         "una posición EXIF imposible (nan, fuera de rango, 0,0) cuenta como ausente; en el\n"
         "archivo de coordenadas una fila puede nombrar la ruta relativa (100CANON/IMG_0001.JPG),"
         "\n"
         "que gana al nombre solo, y un nombre que llevan varias fotos no sitúa a ninguna.\n"
         "Cada foto se copia, se renombra y se escribe solo cuando su imagen nueva está lista; si\n"
         "la escritura falla, recupera su nombre. El diario guarda, antes de tocar cada foto, su\n"
         "backup, su nombre nuevo y el SHA-256 del original, del backup y de lo escrito, y "
         "después\n"
         "su resultado; cada foto escrita lleva una entrada más en su historial XMP\n"
         "(xmpMM:History, «Cartaluz VERSIÓN»).\n"
         "Una foto en la que no se dibuja nada (sin logo, --sin-texto, sin rosa) no se\n"
         "recodifica: solo cambian sus metadatos, y su imagen queda idéntica byte a byte (con\n"
         "--recodificar, salvo que haya que girarla).\n"},
        {drawing, QString()},
        {texts,
         "Campos de una PLANTILLA, entre llaves: {fecha}, {hora}, {utm}, {latlon} (grados\n"
         "decimales), {gms} (grados, minutos y segundos), {mgrs}, {epsg:N} (este y norte en el\n"
         "sistema proyectado N, p. ej. {epsg:2056}), {altitud}, {rumbo}, {error} (el de la\n"
         "posición según la cámara), {archivo} (el nombre original), {nombre} (el final),\n"
         "{descripcion} (la de la foto: XMP, IPTC o EXIF) y cada columna de --atributos. Un\n"
         "campo sin valor no escribe nada y una línea cuyos campos están todos vacíos no se\n"
         "dibuja. Un campo desconocido o un sistema que no es proyectado detienen todo antes de\n"
         "empezar; una foto fuera del área de uso del sistema deja {epsg:N} vacío, con un "
         "aviso.\n"},
        {tracks, QString()},
        {reports, "                              Nunca sobrescriben un archivo existente.\n"},
        {running,
         "Antes de tocar nada se comprueba que el logo se pueda leer como imagen, que la fuente\n"
         "se pueda cargar, que el archivo de coordenadas y los tracks se puedan leer y que en la\n"
         "carpeta de la capa se pueda crear un archivo. Los avisos de las bibliotecas sobre\n"
         "archivos dañados no salen por la salida de errores.\n"},
    };
    return groups;
}

QString longName(const LoteOption &option)
{
    return option.names.constLast();
}
