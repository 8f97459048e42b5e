#include "WorkSpace.h"

#include "Paths.h"

#include <QFileInfo>

namespace blendora {

QString chosenWorkFolder(const QString& folder) {
    const QFileInfo info(folder);
    return shownName(
        info.fileName().startsWith(QLatin1String("blendora-job-")) ? info.absolutePath() : folder);
}

} // namespace blendora
