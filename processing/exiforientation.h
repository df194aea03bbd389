// EXIF orientation tags (1–8) and the toolkit's transformations that show a photo upright: one
// table for the plan, which reads the tag through the decoder, and for whoever turns a picture
// by the tag.
#pragma once

#include <QImageIOHandler>

namespace exiforientation {

inline const QImageIOHandler::Transformations *transformationsByTag()
{
    using T = QImageIOHandler::Transformation;
    static const QImageIOHandler::Transformations byTag[] = {T::TransformationNone,
                                                             T::TransformationMirror,
                                                             T::TransformationRotate180,
                                                             T::TransformationFlip,
                                                             T::TransformationFlipAndRotate90,
                                                             T::TransformationRotate90,
                                                             T::TransformationMirrorAndRotate90,
                                                             T::TransformationRotate270};
    return byTag;
}

// The turn a tag asks for; none for an unknown tag.
inline QImageIOHandler::Transformations transformationOf(int tag)
{
    return tag >= 1 && tag <= 8 ? transformationsByTag()[tag - 1]
                                : QImageIOHandler::TransformationNone;
}

// The tag of the decoder's transformation; 1 for none it names.
inline int tagOf(QImageIOHandler::Transformations transformation)
{
    for (int tag = 1; tag <= 8; ++tag)
        if (transformationsByTag()[tag - 1] == transformation)
            return tag;
    return 1;
}

} // namespace exiforientation
