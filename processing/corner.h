// The corners a stamp can be placed in: named in Spanish where text comes in and goes out, an
// enum everywhere in between.
#pragma once

#include <QString>
#include <QStringList>

enum class Corner {
    TopLeft,
    TopRight,
    BottomLeft,
    BottomRight,
    // Any other text. Each element has its own place for it (the logo top left, the text lines
    // at the point (0, 0), the rose bottom right).
    Unknown
};

// The four names, in the order the form lists them.
const QStringList &cornerNames();

// Exact and case-sensitive: only the four names are corners.
Corner cornerFromName(const QString &name);

// Empty for Unknown.
QString cornerName(Corner corner);

inline bool isTopCorner(Corner corner)
{
    return corner == Corner::TopLeft || corner == Corner::TopRight;
}

inline bool isRightCorner(Corner corner)
{
    return corner == Corner::TopRight || corner == Corner::BottomRight;
}
