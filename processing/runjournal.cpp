#include "runjournal.h"

#include "sha256.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue textOrNull(const QByteArray &text)
{
    return textOrNull(QString::fromLatin1(text));
}

QJsonValue sizeOrNull(qint64 size)
{
    return size < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(double(size));
}

QString now()
{
    const QDateTime local = QDateTime::currentDateTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// One journal's written digests, its photos' latest lines counting.
void readWrites(const QString &path, EarlierWrites &writes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ++writes.unreadable;
        return;
    }
    QDateTime start;
    QHash<QString, std::pair<QByteArray, qint64>> latest; // photo -> digest written, its size
    while (!file.atEnd()) {
        const QJsonObject line = QJsonDocument::fromJson(file.readLine()).object();
        const QString kind = line.value(QLatin1String("tipo")).toString();
        if (kind == QLatin1String("inicio")) {
            start = QDateTime::fromString(line.value(QLatin1String("inicio")).toString(),
                                          Qt::ISODateWithMs);
        } else if (kind == QLatin1String("plan") || kind == QLatin1String("foto")) {
            const QJsonValue size = line.value(QLatin1String("tamano_escrita"));
            latest.insert(line.value(QLatin1String("foto")).toString(),
                          {line.value(QLatin1String("sha256_escrita")).toString().toLatin1(),
                           size.isDouble() ? qint64(size.toDouble()) : -1});
        }
    }
    if (!start.isValid()) {
        ++writes.unreadable;
        return;
    }
    for (const auto &[digest, size] : std::as_const(latest)) {
        if (digest.isEmpty())
            continue;
        writes.startByDigest.insert(digest, start);
        if (size >= 0)
            writes.sizes.insert(size);
        else
            writes.allSized = false;
    }
}

} // namespace

std::optional<QDateTime> EarlierWrites::writtenBy(const QByteArray &bytes) const
{
    if (isEmpty() || (allSized && !sizes.contains(bytes.size())))
        return std::nullopt;
    const auto found = startByDigest.constFind(sha256Hex(bytes));
    if (found == startByDigest.cend())
        return std::nullopt;
    return *found;
}

EarlierWrites readEarlierWrites(const QString &folder)
{
    EarlierWrites writes;
    const QDir backup(QDir(folder).filePath(QStringLiteral("Backup")));
    const QStringList journals = backup.entryList({QStringLiteral("cartaluz-*.jsonl")},
                                                  QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (const QString &name : journals)
        readWrites(backup.filePath(name), writes);
    return writes;
}

QString RunJournal::defaultPath(const QString &folder, const QDateTime &start)
{
    const QString stem = QDir(folder).filePath(QStringLiteral("Backup/cartaluz-") +
                                               start.toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString path = stem + QStringLiteral(".jsonl");
    for (int number = 2; QFileInfo::exists(path) || QFileInfo(path).isSymLink(); ++number)
        path = stem + QStringLiteral("-%1.jsonl").arg(number);
    return path;
}

bool RunJournal::start(const QString &path, const QString &folder, const QStringList &options,
                       const QString &version, QString &errorText)
{
    m_folder = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    m_file.setFileName(path);
    // NewOnly: two runs never share a journal, and an earlier one is never overwritten.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        errorText = m_file.errorString();
        return false;
    }
    QJsonObject header{{QStringLiteral("tipo"), QStringLiteral("inicio")},
                       {QStringLiteral("programa"), QStringLiteral("cartaluz-lote")},
                       {QStringLiteral("version"), version},
                       {QStringLiteral("inicio"), now()},
                       {QStringLiteral("carpeta"), m_folder},
                       {QStringLiteral("opciones"), QJsonArray::fromStringList(options)}};
    return writeLine(QJsonDocument(header).toJson(QJsonDocument::Compact), errorText);
}

QString RunJournal::relative(const QString &path) const
{
    // Listed paths are as the folder was given, perhaps relative to the working folder.
    return path.isEmpty() ? QString()
                          : QDir(m_folder).relativeFilePath(QFileInfo(path).absoluteFilePath());
}

bool RunJournal::writeLine(const QByteArray &line, QString &errorText, bool durable)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    // Handed to the system at once: a killed run loses nothing it wrote. A plan also reaches the
    // disk before the photo changes, so that not even a power cut can leave a changed photo the
    // journal does not know of (the photo's own write is synced too).
    QString failure;
    if (m_file.write(line + '\n') != line.size() + 1 || !m_file.flush())
        failure = m_file.errorString();
#ifdef Q_OS_UNIX
    else if (durable && ::fdatasync(m_file.handle()) != 0)
        failure = QString::fromLocal8Bit(std::strerror(errno));
#endif
    if (failure.isEmpty())
        return true;
    errorText = failure;
    if (m_firstError.isEmpty())
        m_firstError = errorText;
    return false;
}

bool RunJournal::plan(const JournalPlan &plan, QString &errorText)
{
    const QJsonObject line{{QStringLiteral("tipo"), QStringLiteral("plan")},
                           {QStringLiteral("foto"), relative(plan.listedPath)},
                           {QStringLiteral("backup"), textOrNull(relative(plan.backupPath))},
                           {QStringLiteral("final"), relative(plan.finalPath)},
                           {QStringLiteral("sha256_original"), textOrNull(plan.sha256Original)},
                           {QStringLiteral("sha256_backup"), textOrNull(plan.sha256Backup)},
                           {QStringLiteral("sha256_escrita"), textOrNull(plan.sha256Written)},
                           {QStringLiteral("tamano_escrita"), sizeOrNull(plan.writtenSize)}};
    return writeLine(QJsonDocument(line).toJson(QJsonDocument::Compact), errorText, true);
}

void RunJournal::photoDone(const PhotoOutcome &outcome)
{
    QJsonValue position = QJsonValue::Null;
    if (outcome.processed) {
        QJsonObject place{{QStringLiteral("zona"),
                           QString::number(outcome.zoneNumber) + QLatin1Char(outcome.zoneLetter)},
                          {QStringLiteral("este"), outcome.easting},
                          {QStringLiteral("norte"), outcome.northing},
                          {QStringLiteral("fuente"), positionSourceName(outcome.source)}};
        if (outcome.latLonKnown) {
            place.insert(QStringLiteral("lat"), outcome.latitude);
            place.insert(QStringLiteral("lon"), outcome.longitude);
        }
        // What a report made later from this journal shows of the photo.
        place.insert(QStringLiteral("altitud"),
                     outcome.altitude ? QJsonValue(*outcome.altitude) : QJsonValue());
        place.insert(QStringLiteral("orientacion"),
                     outcome.orientationKnown ? QJsonValue(outcome.orientation) : QJsonValue());
        place.insert(QStringLiteral("orientacion_ref"), textOrNull(outcome.headingReference));
        if (outcome.positioningErrorMetres)
            place.insert(QStringLiteral("error_m"), *outcome.positioningErrorMetres);
        if (!outcome.trackFile.isEmpty()) {
            // Which file and fixes placed the photo, so a doubtful position can be traced.
            QJsonArray fixes;
            for (const QDateTime &fix : outcome.trackFixes)
                fixes.append(fix.toUTC().toString(Qt::ISODateWithMs));
            place.insert(QStringLiteral("track"), outcome.trackFile);
            place.insert(QStringLiteral("puntos_track"), fixes);
        }
        position = place;
    }
    QJsonObject attributes;
    for (const auto &[column, value] : outcome.attributes)
        attributes.insert(column, value);
    const QString result = outcome.processed     ? QStringLiteral("procesada")
                           : outcome.loggedError ? QStringLiteral("error")
                                                 : QStringLiteral("omitida");
    const QJsonObject line{
        {QStringLiteral("tipo"), QStringLiteral("foto")},
        {QStringLiteral("foto"), relative(outcome.listedPath)},
        {QStringLiteral("backup"), textOrNull(relative(outcome.backupPath))},
        {QStringLiteral("final"), textOrNull(relative(outcome.finalPath))},
        {QStringLiteral("sha256_original"), textOrNull(outcome.sha256Original)},
        {QStringLiteral("sha256_backup"), textOrNull(outcome.sha256Backup)},
        {QStringLiteral("sha256_escrita"), textOrNull(outcome.sha256Written)},
        {QStringLiteral("tamano_escrita"),
         sizeOrNull(outcome.sha256Written.isEmpty() ? -1 : outcome.writtenSize)},
        {QStringLiteral("posicion"), position},
        // The capture date as the camera read it, with its OffsetTimeOriginal apart.
        {QStringLiteral("fecha"), outcome.dateFound
                                      ? QJsonValue(outcome.captureDate.toString(Qt::ISODateWithMs))
                                      : QJsonValue()},
        {QStringLiteral("desfase"), textOrNull(outcome.captureOffset)},
        {QStringLiteral("resultado"), result},
        {QStringLiteral("sin_posicion"), outcome.positionMissing},
        {QStringLiteral("atributos"),
         outcome.attributes.isEmpty() ? QJsonValue() : QJsonValue(attributes)},
        {QStringLiteral("motivo"), outcome.reason},
        {QStringLiteral("lineas"), QJsonArray::fromStringList(outcome.problems)}};
    QString ignored; // remembered for finish
    writeLine(QJsonDocument(line).toJson(QJsonDocument::Compact), ignored);
}

bool RunJournal::finish(int processed, int skipped, int withErrors, int withoutPosition,
                        QString &errorText)
{
    const QJsonObject line{{QStringLiteral("tipo"), QStringLiteral("fin")},
                           {QStringLiteral("fin"), now()},
                           {QStringLiteral("procesadas"), processed},
                           {QStringLiteral("omitidas"), skipped},
                           {QStringLiteral("errores"), withErrors},
                           {QStringLiteral("sin_posicion"), withoutPosition}};
    writeLine(QJsonDocument(line).toJson(QJsonDocument::Compact), errorText);
    m_file.close();
    errorText = m_firstError;
    return m_firstError.isEmpty();
}
