#include "Save.h"

#include "Failure.h"
#include "Paths.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

void OutputName::take(const QString& chosen) {
    *this = OutputName();
    path_ = chosen.startsWith(QLatin1Char('/')) ? chosen
                                                : QDir::currentPath() + QLatin1Char('/') + chosen;
    const qsizetype cut = path_.lastIndexOf(QLatin1Char('/'));
    folder_ = cut == 0 ? QStringLiteral("/") : path_.left(cut);
    name_ = nativePath(path_.mid(cut + 1));
    if (name_.isEmpty() || name_ == "." || name_ == "..")
        failPlainly(QStringLiteral("%1 is not a file that can be replaced.").arg(shownName(path_)));
    folderFd_.reset(::open(nativePath(folder_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat folder;
    if (folderFd_.get() < 0 || ::fstat(folderFd_.get(), &folder) != 0)
        failPlainly(
            QStringLiteral("The new file cannot be written: %1.").arg(errnoText(errno, folder_)));
    folderOwner_ = folder.st_uid;
    const uid_t me = ::geteuid();
    if (::fstatat(folderFd_.get(), name_.constData(), &before_, AT_SYMLINK_NOFOLLOW) != 0) {
        before_ = {};
        if (errno != ENOENT)
            failPlainly(
                QStringLiteral("The new file cannot be written: %1.").arg(errnoText(errno, path_)));
        // The toolkit's dialog gives a name whose bytes were not UTF-8 with U+FFFD instead: the
        // mix would be saved under another name than the one chosen.
        if (path_.mid(cut + 1).contains(QChar::ReplacementCharacter))
            failPlainly(QStringLiteral("%1 cannot be used as the name of the new file: a part of "
                                       "the name chosen is not UTF-8 text, which the file dialog "
                                       "shows as \uFFFD. Choose or type another name.")
                            .arg(shownName(path_)));
    } else if (!S_ISREG(before_.st_mode) && !S_ISLNK(before_.st_mode)) {
        failPlainly(QStringLiteral("%1 is not a file that can be replaced.").arg(shownName(path_)));
    } else if (S_ISREG(before_.st_mode) &&
               ::faccessat(folderFd_.get(), name_.constData(), W_OK, AT_EACCESS) != 0) {
        // A file its owner made read-only is not ours to replace.
        failPlainly(
            QStringLiteral("%1 cannot be replaced: %2.").arg(shownName(path_), errnoText(errno)));
    } else if ((folder.st_mode & S_ISVTX) && me != 0 && before_.st_uid != me &&
               folder.st_uid != me) {
        failPlainly(
            QStringLiteral("%1 cannot be replaced: it belongs to another user of this shared "
                           "folder.")
                .arg(shownName(path_)));
    }
    if (::faccessat(folderFd_.get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        failPlainly(QStringLiteral("The new file cannot be written in %1: %2.")
                        .arg(shownName(folder_), errnoText(errno)));
}

SavePlan PlanSave(const OutputName& mp3, int job) {
    const mode_t mask = mode_t(processUmask());
    const struct stat& before = mp3.before();
    const bool replacing = before.st_nlink != 0 && S_ISREG(before.st_mode);
    const uid_t me = ::geteuid();
    SavePlan plan;
    plan.outFolder = mp3.folderFd();
    plan.outFolderOwner = mp3.folderOwner();
    plan.name = mp3.name().constData();
    plan.before = before;
    plan.mode = mode_t(replacing ? before.st_mode & 0777 : 0666 & ~mask);
    if (replacing && me != 0 && before.st_uid != me)
        plan.mode &= ~mask;
    plan.setOwner = replacing && me == 0;
    plan.uid = before.st_uid;
    plan.gid = before.st_gid;
    plan.job = job;
    return plan;
}

QString OutputName::movedTo() const {
    struct stat held, named;
    if (folderFd_.get() < 0 || ::fstat(folderFd_.get(), &held) != 0)
        return QString();
    if (::stat(nativePath(folder_).constData(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino)
        return QString();
    // The kernel knows where a held folder is now, as long as it can still be reached.
    const QString now =
        QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(folderFd_.get()));
    return now.isEmpty() || now.endsWith(QStringLiteral(" (deleted)")) ? QStringLiteral("?") : now;
}

QString SaveProblem(const SaveResult& save, const OutputName& mp3) {
    const int error = save.error;
    switch (save.step) {
    case SaveStep::Saved:
        return QString();
    case SaveStep::Writing:
        return error == ENOSPC || error == EDQUOT
                   ? QStringLiteral("There is not enough free space in %1 to save the new file.")
                         .arg(shownName(mp3.folder()))
                   : QStringLiteral("The new file cannot be written in %1: %2.")
                         .arg(shownName(mp3.folder()), errnoText(error));
    case SaveStep::Cut:
        return QStringLiteral("The encoded mix changed while it was being saved (it is shorter "
                              "than the encoder wrote it); %1 was left as it was.")
            .arg(shownName(mp3.path()));
    case SaveStep::Taken:
        return QStringLiteral("Someone else took the name of the folder Blendora made in %1 "
                              "for the new file; nothing was replaced.")
            .arg(shownName(mp3.folder()));
    case SaveStep::Changed:
        return QStringLiteral("%1 was changed while the mix was made; that newer file is kept "
                              "and this mix was not saved.")
            .arg(shownName(mp3.path()));
    case SaveStep::Renaming:
        return QStringLiteral("The new file cannot be saved as %1: %2.")
            .arg(shownName(mp3.path()), errnoText(error));
    }
    return QString();
}

} // namespace blendora
