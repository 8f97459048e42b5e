#include "WorkSpace.h"

#include "Failure.h"
#include "Folders.h"
#include "JobFolder.h"
#include "Paths.h"

#include <QFileInfo>

namespace blendora {

QString chosenWorkFolder(const QString& folder) {
    const QFileInfo info(folder);
    return shownName(
        info.fileName().startsWith(QLatin1String("blendora-job-")) ? info.absolutePath() : folder);
}

std::int64_t shortOfSpace(const JobFile& file, std::int64_t needed) {
    const std::int64_t free = freeBytes(file.folder);
    return free >= 0 && needed + kSpareSpace > free ? free : -1;
}

void needSpace(const JobFile& file, std::int64_t needed, const QString& purpose) {
    const std::int64_t free = shortOfSpace(file, needed);
    if (free < 0)
        return;
    const QString left = free < (1 << 20) ? QStringLiteral("%1 KiB").arg(free >> 10)
                                          : QStringLiteral("%1 MiB").arg(free >> 20);
    failPlainly(QStringLiteral("There is not enough free space in %1 %2: it needs at least %3 MiB "
                               "free, and %4 are left.")
                    .arg(chosenWorkFolder(file.folderPath()), purpose)
                    .arg((needed + kSpareSpace + (1 << 20) - 1) >> 20)
                    .arg(left) +
                kOtherWorkFolder);
}

} // namespace blendora
