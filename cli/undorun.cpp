// Taking a run back from its journal. Nothing moves unless the files still hold the bytes the
// journal recorded, so a photo edited after the run, or a name taken since, is never lost.
#include "undorun.h"
#include "folderlock.h"
#include "loteoptions.h"

#include "fileoperations.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <optional>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// One photo of the run as its latest line left it.
struct Entry
{
    QString photo, backup, finalName; // relative to the run's folder; empty for null
    QByteArray original, written;     // hex digests; empty for null
};

QString stringField(const QJsonObject &line, const char *key)
{
    return line.value(QLatin1String(key)).toString();
}

// A path the journal gives, inside the run's folder; empty when it is not one: absolute, climbing
// out with "..", or passing through a symbolic link (a folder received with a link in it must not
// lead the undo to files elsewhere).
QString inside(const QDir &folder, const QString &relative)
{
    if (relative.isEmpty() || QDir::isAbsolutePath(relative))
        return QString();
    const QStringList parts = relative.split(QLatin1Char('/'));
    if (parts.contains(QStringLiteral("..")))
        return QString();
    QString at = folder.path();
    for (const QString &part : parts) {
        at = QDir(at).filePath(part);
        if (QFileInfo(at).isSymLink())
            return QString();
    }
    return at;
}

// Whether the file at prefix holds the first bytes of the one at whole: a copy cut short.
bool isCutShortCopy(const QString &prefix, const QString &whole)
{
    QFile cut(prefix);
    QFile full(whole);
    if (!cut.open(QIODevice::ReadOnly) || !full.open(QIODevice::ReadOnly) ||
        cut.size() > full.size())
        return false;
    while (!cut.atEnd()) {
        const QByteArray part = cut.read(1 << 20);
        if (part.isEmpty() || full.read(part.size()) != part)
            return false;
    }
    return true;
}

// The files as the undo sees them. A simulation keeps its moves and removals here, so that its
// later checks see the names earlier photos would have freed, as the real undo does.
class Disk
{
public:
    explicit Disk(bool simulate)
        : simulate(simulate)
    {
    }

    bool exists(const QString &path) const
    {
        const auto known = changed.constFind(path);
        return known != changed.cend() ? known->has_value() : QFileInfo::exists(path);
    }
    QByteArray hash(const QString &path) const
    {
        const auto known = changed.constFind(path);
        if (known != changed.cend())
            return known->value_or(QByteArray());
        return fileSha256Hex(path);
    }
    // Never over a file at the target.
    QString move(const QString &from, const QString &to)
    {
        if (simulate) {
            changed.insert(to, hash(from));
            changed.insert(from, std::nullopt);
            return QString();
        }
        QFile file(from);
        return file.rename(to) ? QString() : file.errorString();
    }
    // One rename, so the photo is never missing nor half written.
    QString replace(const QString &from, const QString &to)
    {
        if (simulate) {
            changed.insert(to, hash(from));
            changed.insert(from, std::nullopt);
            return QString();
        }
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()))
            return QString::fromLocal8Bit(std::strerror(errno));
        return QString();
    }
    // A simulation's moves are not on disk: only files it has not touched are compared.
    bool isCutShortCopyOf(const QString &prefix, const QString &whole) const
    {
        return !changed.contains(prefix) && !changed.contains(whole) &&
               isCutShortCopy(prefix, whole);
    }
    QString remove(const QString &path)
    {
        if (simulate) {
            changed.insert(path, std::nullopt);
            return QString();
        }
        QFile file(path);
        return file.remove() ? QString() : file.errorString();
    }

private:
    bool simulate;
    QHash<QString, std::optional<QByteArray>> changed;
};

// Puts one photo back; the reason it was left otherwise, ending without a full stop.
QString undoPhoto(const QDir &folder, const Entry &entry, Disk &disk, bool simulate,
                  const LogCallback &log)
{
    const QString photo = inside(folder, entry.photo);
    const QString atFinal = entry.finalName.isEmpty() ? photo : inside(folder, entry.finalName);
    const QString backup = entry.backup.isEmpty() ? QString() : inside(folder, entry.backup);
    if (photo.isEmpty() || atFinal.isEmpty() || (backup.isEmpty() && !entry.backup.isEmpty()))
        return QStringLiteral("ruta fuera de la carpeta o a través de un enlace");
    if (entry.original.isEmpty())
        return QStringLiteral("sin la huella de la foto original en el diario");

    bool backupChanged =
        !backup.isEmpty() && disk.exists(backup) && disk.hash(backup) != entry.original;
    const bool renamed = atFinal != photo && disk.exists(atFinal);
    const QString now = renamed ? atFinal : photo;
    if (!disk.exists(now))
        return atFinal != photo ? QStringLiteral("foto escrita ausente")
                                : QStringLiteral("foto ausente");
    const QByteArray holds = disk.hash(now);
    if (holds.isEmpty())
        return QStringLiteral("no se puede leer ") + folder.relativeFilePath(now);

    QString failed;
    if (holds == entry.original) {
        // Never written, or written back: the photo itself is the original, the backup a copy.
        if (renamed && disk.exists(photo))
            return QStringLiteral("nombre original ocupado");
        // A run killed while copying leaves the first bytes of the photo: its own, cut short.
        if (backupChanged && disk.isCutShortCopyOf(backup, now))
            backupChanged = false;
        if (backupChanged)
            return QStringLiteral("backup cambiado");
        if (renamed)
            failed = disk.move(atFinal, photo);
        if (failed.isEmpty() && !backup.isEmpty() && disk.exists(backup)) {
            failed = disk.remove(backup);
            if (failed.isEmpty() && !renamed)
                log((simulate ? QStringLiteral("Se retiraría el backup %1: la foto no llegó a "
                                               "cambiar.")
                              : QStringLiteral("Backup retirado: %1 (la foto no llegó a "
                                               "cambiar)."))
                        .arg(entry.backup));
        }
    } else if (!entry.written.isEmpty() && holds == entry.written) {
        if (backup.isEmpty())
            return QStringLiteral("sin backup en el diario");
        if (!disk.exists(backup) || backupChanged)
            return QStringLiteral("backup ausente o cambiado");
        if (!renamed) {
            failed = disk.replace(backup, photo);
        } else if (disk.exists(photo)) {
            return QStringLiteral("nombre original ocupado");
        } else {
            failed = disk.move(backup, photo);
            if (failed.isEmpty())
                failed = disk.remove(atFinal);
        }
    } else {
        return QStringLiteral("editada desde la ejecución");
    }
    return failed.isEmpty() ? QString() : QStringLiteral("error de archivo: ") + failed;
}

// A run killed between linking a photo's new bytes beside it and renaming them over it leaves
// them under "NAME.XXXXXX"; only such files that hold exactly the bytes the journal says were
// written there are the run's.
void removeHalfWrites(const QDir &folder, const Entry &entry, Disk &disk, bool simulate,
                      const LogCallback &log)
{
    if (entry.written.isEmpty())
        return;
    const QString atFinal =
        entry.finalName.isEmpty() ? inside(folder, entry.photo) : inside(folder, entry.finalName);
    if (atFinal.isEmpty())
        return;
    const QFileInfo target(atFinal);
    const QRegularExpression pattern(
        QStringLiteral("^%1\\.[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(target.fileName())));
    const QDir dir = target.dir();
    const QStringList found =
        dir.entryList({target.fileName() + QStringLiteral(".??????")},
                      QDir::Files | QDir::Hidden | QDir::NoSymLinks | QDir::System);
    for (const QString &name : found) {
        const QString path = dir.filePath(name);
        if (!pattern.match(name).hasMatch() || disk.hash(path) != entry.written)
            continue;
        const QString shown = folder.relativeFilePath(path);
        const QString failed = disk.remove(path);
        if (!failed.isEmpty())
            log(QStringLiteral("Error borrando %1: %2").arg(shown, failed));
        else
            log((simulate ? QStringLiteral("Se retiraría la escritura a medias %1.")
                          : QStringLiteral("Escritura a medias retirada: %1"))
                    .arg(shown));
    }
}

} // namespace

int undoRun(const QString &journalPath, bool simulate, const LogCallback &log, QString &errorText)
{
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("--deshacer: no se puede leer el diario %1 (%2)")
                        .arg(journalPath, file.errorString());
        return StatusUsage;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.constLast().isEmpty())
        lines.removeLast();
    const QString notJournal =
        QStringLiteral("--deshacer: %1 no es un diario de cartaluz-lote").arg(journalPath);
    const QJsonObject header =
        lines.isEmpty() ? QJsonObject() : QJsonDocument::fromJson(lines.constFirst()).object();
    if (stringField(header, "tipo") != QLatin1String("inicio") ||
        stringField(header, "programa") != QLatin1String("cartaluz-lote") ||
        !QDir::isAbsolutePath(stringField(header, "carpeta"))) {
        errorText = notJournal;
        return StatusUsage;
    }

    // A photo's latest line counts; the order is that of its first line.
    QList<Entry> entries;
    QHash<QString, qsizetype> indexOf;
    for (qsizetype at = 1; at < lines.size(); ++at) {
        QJsonParseError parseError;
        const QJsonObject line = QJsonDocument::fromJson(lines.at(at), &parseError).object();
        const QString kind = stringField(line, "tipo");
        const bool photoLine = kind == QLatin1String("plan") || kind == QLatin1String("foto");
        if (parseError.error != QJsonParseError::NoError ||
            (photoLine && stringField(line, "foto").isEmpty())) {
            // A run killed while writing leaves its last line cut short; elsewhere it is damage.
            if (at + 1 == lines.size()) {
                log(QStringLiteral("Se ignora la última línea del diario, incompleta."));
                break;
            }
            errorText = QStringLiteral("--deshacer: el diario %1 está dañado en la línea %2")
                            .arg(journalPath)
                            .arg(at + 1);
            return StatusUsage;
        }
        if (!photoLine)
            continue;
        const Entry entry{stringField(line, "foto"), stringField(line, "backup"),
                          stringField(line, "final"),
                          stringField(line, "sha256_original").toLatin1(),
                          stringField(line, "sha256_escrita").toLatin1()};
        const auto known = indexOf.constFind(entry.photo);
        if (known != indexOf.cend()) {
            entries[*known] = entry;
        } else {
            indexOf.insert(entry.photo, entries.size());
            entries.append(entry);
        }
    }

    // A folder moved as a whole still holds its journal in its Backup folder.
    QDir folder(stringField(header, "carpeta"));
    const QDir journalFolder = QFileInfo(journalPath).absoluteDir();
    if (!folder.exists()) {
        if (journalFolder.dirName() != QLatin1String("Backup")) {
            errorText =
                QStringLiteral("--deshacer: no existe la carpeta %1 del diario").arg(folder.path());
            return StatusUsage;
        }
        folder = QFileInfo(journalFolder.path()).dir();
        log(QStringLiteral("La carpeta %1 ya no existe; se usa %2, la del diario.")
                .arg(stringField(header, "carpeta"), folder.path()));
    }

    FolderLock lock;
    if (!lock.take(folder.path(), errorText))
        return StatusUsage;
    // Only once the journal reads as one: a refused undo prints nothing but its error.
    if (simulate)
        log(simulationLine());

    Disk disk(simulate);
    int restored = 0;
    int unchanged = 0;
    int left = 0;
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        // Left alone, without even a backup: the run changed nothing there.
        if (entry->backup.isEmpty() && entry->written.isEmpty() &&
            (entry->finalName.isEmpty() || entry->finalName == entry->photo)) {
            ++unchanged;
            log(QStringLiteral("Sin cambios que deshacer: ") + entry->photo);
            continue;
        }
        const QString reason = undoPhoto(folder, *entry, disk, simulate, log);
        removeHalfWrites(folder, *entry, disk, simulate, log);
        if (reason.isEmpty()) {
            ++restored;
            log((simulate ? QStringLiteral("Se restauraría: ") : QStringLiteral("Restaurada: ")) +
                entry->photo);
        } else {
            ++left;
            // Named as it was and, when renamed, as the user finds it now.
            const QString named = entry->finalName.isEmpty() || entry->finalName == entry->photo
                                      ? entry->photo
                                      : entry->photo + QStringLiteral(" (ahora ") +
                                            entry->finalName + QLatin1Char(')');
            log((simulate ? QStringLiteral("No se restauraría %1: %2.")
                          : QStringLiteral("No se restaura %1: %2."))
                    .arg(named, reason));
        }
    }

    if (left == 0) {
        if (simulate) {
            log(QStringLiteral("Se borraría el diario %1, con las carpetas Backup que quedasen "
                               "vacías.")
                    .arg(journalPath));
        } else {
            // The journal goes last: an undo killed on the way can be run again.
            QSet<QString> backupFolders;
            for (const Entry &entry : std::as_const(entries))
                if (!entry.backup.isEmpty())
                    backupFolders.insert(QFileInfo(folder.filePath(entry.backup)).path());
            backupFolders.remove(journalFolder.path());
            // rmdir takes only an empty folder.
            for (const QString &path : std::as_const(backupFolders))
                if (QFileInfo(path).fileName() == QLatin1String("Backup"))
                    QDir().rmdir(path);
            passFaultPoint("antes-del-diario");
            if (file.remove()) {
                log(QStringLiteral("Diario borrado: ") + journalPath);
                if (journalFolder.dirName() == QLatin1String("Backup"))
                    QDir().rmdir(journalFolder.path());
            } else {
                log(QStringLiteral("Error borrando el diario %1: %2")
                        .arg(journalPath, file.errorString()));
            }
        }
    }
    log((simulate ? QStringLiteral("\nSimulación: se restaurarían %1 fotos, %2 sin cambios, se "
                                   "dejarían %3; no se ha modificado nada.")
                  : QStringLiteral("\nDeshacer: %1 fotos restauradas, %2 sin cambios, %3 dejadas."))
            .arg(restored)
            .arg(unchanged)
            .arg(left));
    return left == 0 ? StatusOk : StatusPhotoErrors;
}
