#include "CursorFile.h"

#include "Failure.h"
#include "Paths.h"

#include <QFile>
#include <QPixmap>
#include <QtEndian>

namespace blendora {

namespace {

// The hotspot of the first image in the file's directory, or (-1, -1) for none. The directory
// is three 16-bit words (0, type 2 for a cursor, count), then 16 bytes per image, in which a
// cursor keeps its hotspot's x and y where an icon keeps planes and bits per pixel.
QPoint hotspotOf(const QString& path, QSize picture) {
    const QPoint none(-1, -1);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return none;
    const QByteArray head = file.read(6 + 16);
    if (head.size() < 6 + 16)
        return none;
    const auto word = [&](int at) { return qFromLittleEndian<quint16>(head.constData() + at); };
    if (word(0) != 0 || word(2) != 2 || word(4) == 0)
        return none;
    const QPoint hotspot(word(6 + 4), word(6 + 6));
    return QRect(QPoint(), picture).contains(hotspot) ? hotspot : none;
}

} // namespace

QCursor LoadCursorFile(const QString& path) {
    QPixmap picture;
    if (!picture.load(path))
        fail(shownName(path) + QStringLiteral(" is not a picture that can be loaded."));
    const QPoint hotspot = hotspotOf(path, picture.size());
    return QCursor(picture, hotspot.x(), hotspot.y());
}

} // namespace blendora
