#pragma once

#include <QCursor>
#include <QString>

namespace blendora {

// A cursor file as the window's pointer picture, its hotspot where the file puts it: image
// readers keep the picture of a .cur file but drop the hotspot. A file that names no usable
// hotspot (an icon, a short or odd directory, a point outside the picture) gets the centre.
// Throws when the file is not a picture that can be loaded.
QCursor LoadCursorFile(const QString& path);

} // namespace blendora
