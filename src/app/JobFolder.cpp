#include "JobFolder.h"

#include "Failure.h"
#include "Paths.h"
#include "ProgramEnd.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace blendora {

namespace {
const QString kPrefix = QStringLiteral("blendora-job-");
}

void JobFolder::create() {
    remove();
    QString parent = temporaryFolder();
    while (parent.size() > 1 && parent.endsWith(QLatin1Char('/')))
        parent.chop(1);
    QByteArray name =
        nativePath(parent + QLatin1Char('/') + kPrefix +
                   QString::number(QCoreApplication::applicationPid()) + QStringLiteral("-XXXXXX"));
    if (!::mkdtemp(name.data()))
        failErrno(errno, QFile::decodeName(name));
    path_ = QFile::decodeName(name);
    if (!path_.startsWith(QLatin1Char('/')))
        path_ = QDir::currentPath() + QLatin1Char('/') + path_;
    armEndCleanup();
}

void JobFolder::armEndCleanup() {
    const QString folder = path_;
    setEndCleanup([folder] { QDir(folder).removeRecursively(); });
}

QString JobFolder::file(const QString& name) const {
    return path_.isEmpty() ? QString() : path_ + QLatin1Char('/') + name;
}

void JobFolder::remove() {
    if (path_.isEmpty())
        return;
    QDir(path_).removeRecursively();
    setEndCleanup({});
    path_.clear();
}

void RemoveStaleJobFolders(const QString& temporaryFolder) {
    static const QRegularExpression pattern(QStringLiteral("^blendora-job-(\\d+)-[A-Za-z0-9]{6}$"));
    const QDir folder(temporaryFolder);
    for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const QString path = folder.filePath(name);
        struct stat st;
        // Only real folders of our own; never a link someone placed.
        if (::lstat(nativePath(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || pid == ::getpid() || (::kill(pid, 0) == 0 || errno == EPERM))
            continue;
        QDir(path).removeRecursively();
    }
}

std::int64_t freeSpace(const QString& path) {
    struct statvfs vfs;
    if (::statvfs(nativePath(path).constData(), &vfs) != 0)
        return -1;
    return std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
}

} // namespace blendora
