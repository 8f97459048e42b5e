#include "Failure.h"

#include "Paths.h"

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/resource.h>
#include <system_error>

namespace blendora {

namespace {

// The folder the person knows a file by: TEMP, not the job folder of ours inside it.
QString personsFolder(const QString& subject) {
    if (QFileInfo(subject).isDir())
        return subject;
    const QFileInfo folder(QFileInfo(subject).absolutePath());
    return folder.fileName().startsWith(QStringLiteral("blendora-job-")) ? folder.absolutePath()
                                                                         : folder.filePath();
}

// A file past `ulimit -f`, or past what its file system can hold (FAT's 4 GiB).
QString tooLarge(const QString& subject) {
    struct rlimit limit {};
    const QString where = shownName(personsFolder(subject));
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return QStringLiteral("A file in %1 would grow past the largest file this session may "
                              "write (ulimit -f: %2 KiB). Raise the limit, or mix shorter files.")
            .arg(where)
            .arg(qulonglong(limit.rlim_cur >> 10));
    return QStringLiteral("A file in %1 would grow past the largest file its file system can "
                          "hold.")
        .arg(where);
}

} // namespace

QString errnoText(int error, const QString& subject) {
    const QString text = QString::fromLocal8Bit(std::strerror(error));
    return subject.isEmpty() ? text : shownName(subject) + QStringLiteral(": ") + text;
}

void failErrno(int error, const QString& subject) {
    if (error == ENOSPC || error == EDQUOT)
        failPlainly(errnoText(error, subject));
    if (error == EFBIG)
        failPlainly(tooLarge(subject));
    if (error == EROFS)
        failPlainly(QStringLiteral("%1 is on a read-only file system: nothing can be written "
                                   "there.")
                        .arg(shownName(personsFolder(subject))));
    fail(errnoText(error, subject));
}

QString describe(const std::exception& e) {
    return QString::fromUtf8(e.what());
}

} // namespace blendora
