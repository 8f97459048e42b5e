#pragma once

#include <QString>

namespace blendora {

// The folder the person chose for work files (TEMP, TMPDIR or /tmp), given a folder that may be
// one of our job folders inside it: the job folder means nothing to them. As a message shows it.
QString chosenWorkFolder(const QString& folder);

// What helps when the work folder is full.
inline const QString kOtherWorkFolder =
    QStringLiteral(" Set TEMP (or TMPDIR) to a folder with more room to work there.");

} // namespace blendora
