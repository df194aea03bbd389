#include "defaultfont.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <fontconfig/fontconfig.h>

namespace {

// Debian's fonts-noto-core, then the layout of distributions that keep one folder for Noto.
const char *const packagedNotoSans[] = {"/usr/share/fonts/truetype/noto/NotoSans-Regular.ttf",
                                        "/usr/share/fonts/noto/NotoSans-Regular.ttf"};

// fontconfig always answers with some font; only a real Noto Sans counts.
QString notoSansFromFontconfig()
{
    FcPattern *pattern = FcPatternBuild(nullptr, FC_FAMILY, FcTypeString, "Noto Sans", FC_STYLE,
                                        FcTypeString, "Regular", nullptr);
    if (!pattern)
        return QString();
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match)
        return QString();
    QString path;
    FcChar8 *family = nullptr;
    FcChar8 *file = nullptr;
    if (FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch &&
        qstrcmp(reinterpret_cast<const char *>(family), "Noto Sans") == 0 &&
        FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch)
        path = QFile::decodeName(reinterpret_cast<const char *>(file));
    FcPatternDestroy(match);
    return QFileInfo(path).isFile() ? path : QString();
}

} // namespace

QString defaultFontPath()
{
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
    if (QFileInfo(beside).isFile())
        return beside;
    for (const char *path : packagedNotoSans)
        if (QFileInfo(QString::fromLatin1(path)).isFile())
            return QString::fromLatin1(path);
    const QString found = notoSansFromFontconfig();
    return found.isEmpty() ? beside : found;
}
