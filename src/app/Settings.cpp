#include "Settings.h"

#include "Failure.h"

#include <QSettings>

namespace blendora {

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName);
    if (settings.status() == QSettings::FormatError)
        fail(QStringLiteral("The settings file %1 cannot be read.").arg(settings.fileName()));
    return settings.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

void SaveSetting(const QString& appName, const QString& section, const QString& key,
                 const QString& value) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName);
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        fail(QStringLiteral("The settings file %1 cannot be written.").arg(settings.fileName()));
}

} // namespace blendora
