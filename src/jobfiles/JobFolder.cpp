#include "JobFolder.h"

#include "Descriptor.h"
#include "Failure.h"
#include "Folders.h"
#include "Leftovers.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "WorkFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace blendora {

namespace {

const QString kPrefix = QStringLiteral("blendora-job-");

// The work folder, held and judged through its descriptor, and its one spelling.
UniqueFd openWorkFolder(QString* warning, QString& parent) {
    const WorkFolder work = workFolder();
    if (warning)
        *warning = work.warning;
    parent = work.path;
    while (parent.size() > 1 && parent.endsWith(QLatin1Char('/')))
        parent.chop(1);
    if (!parent.startsWith(QLatin1Char('/')))
        parent = QDir::currentPath() + QLatin1Char('/') + parent;
    // One spelling of every path inside, so that code naming a file there is recognised.
    parent = QDir::cleanPath(parent);
    UniqueFd held(::open(nativePath(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!held.valid() || ::fstat(held.get(), &st) != 0) {
        const int error = errno;
        held.reset();
        failErrno(error, parent);
    }
    // Looked at again through the descriptor: the name may have changed hands meanwhile.
    if (othersControl(st.st_uid, st.st_gid, st.st_mode)) {
        held.reset();
        fail(QStringLiteral("The folder %1 was changed by someone else while Blendora chose it "
                            "to work in.")
                 .arg(shownName(parent)));
    }
    return held;
}

} // namespace

void JobFolder::create(QString* warning) {
    remove();
    QString parent;
    parent_ = openWorkFolder(warning, parent);
    QByteArray name = nativePath(kPrefix + QString::number(QCoreApplication::applicationPid()) +
                                 QStringLiteral("-XXXXXX"));
    const SignalsHeld untilRecorded;
    if (makePrivateFolder(parent_.get(), name.data()) != 0) {
        const int error = errno;
        remove();
        failErrno(error, parent);
    }
    name_ = name;
    path_ = parent + QLatin1Char('/') + QFile::decodeName(name);
    // Until it is held, the name could have been given to a folder of someone else's.
    fd_ = openFolderAt(parent_.get(), name.constData());
    struct stat st;
    if (!fd_.valid() || ::fstat(fd_.get(), &st) != 0 || st.st_uid != ::geteuid() ||
        (st.st_mode & 077)) {
        const QString shown = path_;
        fd_.reset();
        name_.clear();
        remove();
        fail(QStringLiteral("Someone else replaced the new job folder %1 before it could be "
                            "used; Blendora left it alone.")
                 .arg(shownName(shown)));
    }
    // The start's sweep removes only a folder that this record names under its own name.
    if (!recordMade(fd_.get(), name.constData()) || ::flock(fd_.get(), LOCK_SH) != 0) {
        const int error = errno;
        remove();
        failErrno(error, parent);
    }
    armEndCleanup();
}

void JobFolder::checkStillAtPath() const {
    if (fd_.valid() && !namesHeld(parent_.get(), name_.constData(), fd_.get()))
        failPlainly(QStringLiteral("Someone else moved or replaced the job folder %1. Blendora "
                                   "stopped and changed nothing under that name.")
                        .arg(shownName(path_)));
}

void JobFolder::armEndCleanup(bool encoderRuns) {
    if (fd_.valid())
        armEnd(EndSlot::Job, encoderRuns ? EndTask::DecodedInputs : EndTask::JobFolder,
               parent_.get(), fd_.get(), name_.constData());
}

JobFile JobFolder::file(const QString& name) const {
    if (!fd_.valid())
        return {};
    return {fd_.get(), nativePath(name), path_ + QLatin1Char('/') + name, true};
}

JobFile JobFile::withSuffix(const QString& suffix) const {
    return {folder, name + nativePath(suffix), path + suffix, fresh};
}

QString JobFile::folderPath() const {
    const qsizetype cut = path.lastIndexOf(QLatin1Char('/'));
    return cut > 0 ? path.left(cut) : cut == 0 ? QStringLiteral("/") : QDir::currentPath();
}

void JobFolder::remove() {
    if (fd_.valid()) {
        disarmEnd(EndSlot::Job);
        removeJobFolder(parent_.get(), name_.constData(), fd_.get());
        fd_.reset();
    }
    parent_.reset();
    path_.clear();
    name_.clear();
}

bool removeFile(const JobFile& file) {
    return file.valid() && ::unlinkat(file.folder, file.name.constData(), 0) == 0;
}

} // namespace blendora
