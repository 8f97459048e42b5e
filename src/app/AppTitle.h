#pragma once

#include <QString>

namespace blendora {

inline const QString kMakerName = QStringLiteral("Quorvane");
inline const QString kProductTitle = QStringLiteral("Blendora");

// The title cut back word by word, at least once, until it fits in 40 characters.
// A title without a space is kept whole.
QString shortenedTitle(const QString& productTitle);

// The caption of every message box that gives none of its own.
QString appTitle();
void SetAppTitle(const QString& productTitle);

} // namespace blendora
