#include "Settings.h"

#include "AppTitle.h"
#include "Failure.h"
#include "File.h"
#include "Paths.h"
#include "Prompts.h"

#include <QFileInfo>
#include <QSettings>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

namespace {

// Which file stands at a path: a rewrite puts a new one there. st_nlink 0: none.
struct stat identity(const QString& path) {
    struct stat st {};
    if (::stat(nativePath(path).constData(), &st) != 0)
        return {};
    return st;
}

constexpr auto kNotWritten = "The settings file %1 cannot be written: %2";

} // namespace

QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName);
    if (settings.status() == QSettings::FormatError)
        fail(QStringLiteral("The settings file %1 cannot be read.").arg(settings.fileName()));
    return settings.value(section + QLatin1Char('/') + key, defaultValue).toString();
}

QString SaveSetting(const QString& appName, const QString& section, const QString& key,
                    const QString& value) {
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, appName);
    const QString file = settings.fileName();
    const struct stat before = identity(file);
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return QString();
    // A file that held no settings is rewritten all the same, yet reported as a format error.
    const struct stat after = identity(file);
    if (settings.status() == QSettings::FormatError && after.st_nlink != 0 &&
        !(before.st_nlink != 0 && sameFileState(after, before)))
        return QStringLiteral("The settings file %1 held something other than settings. Blendora "
                              "has rewritten it, to remember the two files.")
            .arg(file);
    const QString why = WriteProblem(file);
    fail(QString::fromLatin1(kNotWritten)
             .arg(file, why.isEmpty() ? QStringLiteral("the file could not be saved.") : why));
}

QString WriteProblem(const QString& file) {
    // Opened for appending, which changes nothing: the file itself may refuse.
    const int fd = ::open(nativePath(file).constData(),
                          O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    else if (errno != ENOENT)
        return errnoText(errno) + QLatin1Char('.');
    // A new file is written beside the old one and renamed over it: the nearest folder that
    // exists must take new entries.
    QString folder = QFileInfo(file).absolutePath();
    struct stat st;
    while (::stat(nativePath(folder).constData(), &st) != 0 && errno == ENOENT &&
           folder != QStringLiteral("/"))
        folder = QFileInfo(folder).absolutePath();
    if (::stat(nativePath(folder).constData(), &st) != 0)
        return errnoText(errno, folder) + QLatin1Char('.');
    if (!S_ISDIR(st.st_mode))
        return errnoText(ENOTDIR, folder) + QLatin1Char('.');
    if (::faccessat(AT_FDCWD, nativePath(folder).constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return errnoText(errno, folder) + QLatin1Char('.');
    return QString();
}

QString SettingsStore::read(const QString& key) {
    try {
        return GetSetting(kMakerName, kProductTitle, key);
    } catch (...) {
        if (told_)
            return QString();
        told_ = true;
        throw;
    }
}

void SettingsStore::write(Prompts& prompts, const QString& key, const QString& value) {
    QString notice;
    try {
        notice = SaveSetting(kMakerName, kProductTitle, key, value);
    } catch (const std::exception& e) {
        notice = describe(e) + QStringLiteral("\r\rBlendora goes on working, but cannot "
                                              "remember the two files for its next start.");
    } catch (...) {
        notice = QStringLiteral("The settings cannot be saved.");
    }
    if (notice.isEmpty() || told_)
        return;
    told_ = true;
    prompts.message(notice, appTitle());
}

} // namespace blendora
