// The system's reason for a failed file operation, in the program's language: the C library's
// own texts follow the locale, which on a server is often "C" (English), and the toolkit's say
// "Unknown error" for a full disk.
#pragma once

#include <QString>

#include <cerrno>
#include <cstring>

inline QString systemErrorText(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("No queda espacio en el dispositivo");
    case EDQUOT:
        return QStringLiteral("Cuota de disco superada");
    case EACCES:
        return QStringLiteral("Permiso denegado");
    case EPERM:
        return QStringLiteral("Operación no permitida");
    case EROFS:
        return QStringLiteral("Sistema de archivos de solo lectura");
    case ENOENT:
        return QStringLiteral("No existe el archivo o el directorio");
    case EEXIST:
        return QStringLiteral("El archivo ya existe");
    case EIO:
        return QStringLiteral("Error de entrada/salida");
    case EISDIR:
        return QStringLiteral("Es un directorio");
    case ENOTDIR:
        return QStringLiteral("No es un directorio");
    case ENAMETOOLONG:
        return QStringLiteral("Nombre de archivo demasiado largo");
    case EXDEV:
        return QStringLiteral("Enlace entre dispositivos no permitido");
    case EFBIG:
        return QStringLiteral("Archivo demasiado grande");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}
