// The Spanish corner names.
#include "corner.h"

namespace {

// In the order of the enum's corners.
const QStringList names{QStringLiteral("arriba-izquierda"), QStringLiteral("arriba-derecha"),
                        QStringLiteral("abajo-izquierda"), QStringLiteral("abajo-derecha")};

} // namespace

const QStringList &cornerNames()
{
    return names;
}

Corner cornerFromName(const QString &name)
{
    const int index = names.indexOf(name);
    return index < 0 ? Corner::Unknown : Corner(index);
}

QString cornerName(Corner corner)
{
    return corner == Corner::Unknown ? QString() : names.at(int(corner));
}
