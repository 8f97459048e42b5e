#include "WorkFolder.h"

#include "Failure.h"
#include "Paths.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

namespace {

// A group that is only ours (Debian gives each user one of the same name) shares nothing.
bool privateGroup(gid_t gid) {
    const struct passwd* user = ::getpwuid(::geteuid());
    if (!user || user->pw_gid != gid)
        return false;
    const QByteArray userName(user->pw_name);
    const struct group* group = ::getgrgid(gid);
    return group && userName == group->gr_name && (!group->gr_mem || !group->gr_mem[0]);
}

bool isDirectory(const QString& path, struct stat& st) {
    return !path.isEmpty() && ::stat(nativePath(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool othersControl(unsigned ownerUid, unsigned ownerGid, unsigned mode) {
    const uid_t me = ::geteuid();
    if (ownerUid != me && ownerUid != 0)
        return true;
    if (mode & S_ISVTX)
        return false;
    if (mode & S_IWOTH)
        return true;
    return (mode & S_IWGRP) && !privateGroup(ownerGid);
}

WorkFolder workFolder() {
    const QString wanted = temporaryFolder();
    struct stat st;
    // A folder that is missing fails later, in the words of the call that needed it.
    if (!isDirectory(wanted, st) || !othersControl(st.st_uid, st.st_gid, st.st_mode))
        return {wanted, {}};
    for (const QString& instead :
         {qEnvironmentVariable("XDG_RUNTIME_DIR"), QStringLiteral("/tmp")}) {
        if (instead.startsWith(QLatin1Char('/')) && isDirectory(instead, st) &&
            !othersControl(st.st_uid, st.st_gid, st.st_mode))
            return {instead, QStringLiteral("The temporary folder %1 can be changed by other "
                                            "users, so Blendora works in %2 instead.")
                                 .arg(shownName(wanted), shownName(instead))};
    }
    fail(QStringLiteral("The temporary folder %1 can be changed by other users, and no private "
                        "folder was found to work in instead.")
             .arg(shownName(wanted)));
}

} // namespace blendora
