#include "Settings.h"
#include "SettingsFolder.h"

#include "Paths.h"
#include "WorkFolder.h"

#include <QDir>
#include <QFileInfo>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

QString nearestFolder(QString folder, struct stat& st) {
    while (::stat(nativePath(folder).constData(), &st) != 0 && folder != QStringLiteral("/"))
        folder = QFileInfo(folder).absolutePath();
    return folder;
}

QString anotherUsersOnTheWay(QString at) {
    for (at = QDir::cleanPath(at);; at = QFileInfo(at).absolutePath()) {
        struct stat st;
        if (::lstat(nativePath(at).constData(), &st) == 0 &&
            othersControl(st.st_uid, st.st_gid, S_ISLNK(st.st_mode) ? 0 : st.st_mode))
            return at;
        if (at == QStringLiteral("/"))
            return QString();
    }
}

void StayOutOfAnotherUsersHome() {
    if (::geteuid() != 0 || qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") ||
        qEnvironmentVariableIsEmpty("HOME") ||
        anotherUsersOnTheWay(qEnvironmentVariable("HOME")).isEmpty())
        return;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")))
        return;
    // Without a bus, D-Bus would start one of root's and note it in that user's ~/.dbus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

QString ToolkitSettingsFolder() {
    const QString file = settingsFile(kMakerName);
    const QString folder = file.isEmpty() ? QString() : QFileInfo(file).absolutePath();
    if (folder.isEmpty())
        return QString();
    struct stat st;
    nearestFolder(folder, st);
    // A sticky folder open to all still takes anyone's new names, a link among them.
    if (othersControl(st.st_uid, st.st_gid, st.st_mode & ~S_ISVTX) ||
        !anotherUsersOnTheWay(folder).isEmpty())
        return QString();
    return folder;
}

} // namespace blendora
