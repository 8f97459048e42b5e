#pragma once

#include <QString>

namespace blendora {

inline const QString kMakerName = QStringLiteral("Quorvane");
inline const QString kProductTitle = QStringLiteral("Blendora");

// The per-user store: one file named by the application name, a group per section.
QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue = QString());
// Written through at once, so ending the program at any moment loses nothing.
void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value);

} // namespace blendora
