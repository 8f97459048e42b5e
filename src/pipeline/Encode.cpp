#include "Encode.h"

#include "Descriptor.h"
#include "Failure.h"
#include "File.h"
#include "JobFolder.h"
#include "Paths.h"
#include "Supervisor.h"
#include "WorkSpace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace blendora {

namespace {
// The installed lame, the last way to encode; empty when there is none.
QString installedEncoder() {
    const QString installed = QStringLiteral(BLENDORA_INSTALLED_LAME);
    return QFileInfo(installed).isExecutable()
               ? installed
               : QStandardPaths::findExecutable(QStringLiteral("lame"));
}
} // namespace

// The encoder's failure in one clean line: no progress output, no terminal controls.
QString encoderLastWords(const QByteArray& tail) {
    // Terminal controls split the text like line ends (a tab is a space); progress and
    // statistics lines (no letters, or columns and percentages) are not words.
    static const QRegularExpression controls(QStringLiteral(
        "\\x{1b}\\[[0-?]*[ -/]*[@-~]|\\x{1b}.?|[\\x{0}-\\x{8}\\x{a}-\\x{1f}\\x{7f}-\\x{9f}]"));
    static const QRegularExpression letter(QStringLiteral("\\p{L}"));
    const QStringList pieces = QString::fromLocal8Bit(tail).split(controls, Qt::SkipEmptyParts);
    for (auto it = pieces.crbegin(); it != pieces.crend(); ++it) {
        const QString piece = it->simplified();
        if (piece.contains(letter) && !piece.contains(QLatin1Char('|')) &&
            !piece.contains(QLatin1Char('%')))
            return piece.left(300);
    }
    return QString();
}

namespace {

QString signalName(int signal) {
    return QStringLiteral("%1 (%2)").arg(signal).arg(QString::fromLocal8Bit(strsignal(signal)));
}

// A saver that left no report is judged by what stands at the name: the file it made there is
// the mix once it is whole; a copy cut short is ours and no mix, and goes.
bool savedBeforeItsEnd(int report, const OutputName& mp3) {
    SavedFile saved;
    const bool atName =
        readAll(report, &saved, sizeof saved, kSavedAt) == ssize_t(sizeof saved) &&
        saved.inode != 0 &&
        namesFile(mp3.folderFd(), mp3.name().constData(), dev_t(saved.device), ino_t(saved.inode));
    if (atName && !saved.whole)
        ::unlinkat(mp3.folderFd(), mp3.name().constData(), 0);
    return atName && saved.whole;
}

// Where the new file is when its folder was moved during the job; empty when it was not.
QString whereItWent(const OutputName& mp3) {
    const QString now = mp3.movedTo();
    if (now == QStringLiteral("?"))
        return QStringLiteral("The folder %1 was moved while the mix was made, and Blendora "
                              "cannot tell where to; the new file %2 went with it.")
            .arg(shownName(mp3.folder()), shownName(QFile::decodeName(mp3.name())));
    if (!now.isEmpty())
        return QStringLiteral("The folder %1 was moved while the mix was made; the new file is "
                              "%2.")
            .arg(shownName(mp3.folder()),
                 shownName(now + QLatin1Char('/') + QFile::decodeName(mp3.name())));
    return QString();
}

// Why the encoder failed: it could not start by any way, a signal, a full disk, or its code,
// with its own last words.
QString encodingProblem(const SupervisorReport& r, int report, int errors, const QString& jobPath,
                        const QByteArray& installed) {
    int startError[kEncoderStarts] = {};
    if (readAll(report, startError, sizeof startError, kStartErrorAt) != ssize_t(sizeof startError))
        std::fill(std::begin(startError), std::end(startError), 0);
    const QString words = encoderLastWords(tailOf(errors));
    const auto withWords = [&](const QString& text) {
        return words.isEmpty() ? text : text + QStringLiteral("\r\n") + words;
    };
    const int es = r.encoderStatus;
    if (WIFEXITED(es) && WEXITSTATUS(es) == 127 && startError[FromMemory] != 0) {
        const auto why = [&](int way) {
            return QString::fromLocal8Bit(std::strerror(startError[way]));
        };
        return QStringLiteral("The encoder could not be started: from memory (%1), as a copy in "
                              "%2 (%3), nor as %4 (%5).")
            .arg(why(FromMemory), shownName(jobPath), why(CopyInJobFolder),
                 installed.isEmpty() ? QStringLiteral("the installed lame")
                                     : shownName(QFile::decodeName(installed)),
                 why(Installed));
    }
    if (WIFSIGNALED(es))
        return withWords(
            QStringLiteral("The encoder was stopped by signal %1.").arg(signalName(WTERMSIG(es))));
    if (r.freeNear >= 0 && r.freeNear < kFullDisk)
        return QStringLiteral("There is not enough free space in %1 to encode the mix.")
                   .arg(shownName(QFileInfo(jobPath).absolutePath())) +
               kOtherWorkFolder;
    return withWords(QStringLiteral("The encoder failed with exit code %1.").arg(WEXITSTATUS(es)));
}

QString notStarted(int error) {
    return QStringLiteral("The encoder could not be started: %1.")
        .arg(QString::fromLocal8Bit(std::strerror(error)));
}

// Throws when the encoder cannot start in the job folder.
void checkReady(const JobFolder& job, const OutputName& mp3) {
    if (job.fd() < 0 || mp3.folderFd() < 0)
        failPlainly(notStarted(ENOENT));
    job.checkStillAtPath();
}

// The one place where how the supervisor ended, and the steps and errno its report file holds,
// become what they mean for the person: returns only when the file stands at the name.
void judgeOutcome(int report, int errors, const RunOutcome& run, const OutputName& mp3,
                  const JobFile& wav, const QByteArray& installed) {
    if (!run.started)
        failPlainly(notStarted(run.startError));
    SupervisorReport r;
    if (readAll(report, &r, sizeof r, 0) != ssize_t(sizeof r))
        r = SupervisorReport();
    switch (r.step) {
    case SupervisorStep::Saving:
        if (r.save.step != SaveStep::Saved)
            failPlainly(SaveProblem(r.save, mp3));
        return;
    case SupervisorStep::Unknown:
        if (!savedBeforeItsEnd(report, mp3))
            failPlainly(
                run.signal != 0
                    ? QStringLiteral("The save was stopped by signal %1 before it was finished.")
                          .arg(signalName(run.signal))
                    : QStringLiteral("The encoder ended without telling how it went."));
        return;
    case SupervisorStep::Encoding:
        failPlainly(encodingProblem(r, report, errors, wav.folderPath(), installed));
    case SupervisorStep::NoOutput:
        failPlainly(QStringLiteral("The encoder wrote no output file."));
    case SupervisorStep::MixChanged:
        failPlainly(QStringLiteral("%1 changed while it was being read (it is not as the mix was "
                                   "written), or could not be read to its end.")
                        .arg(shownName(wav.path)));
    }
}

// The encoder's command line and environment, held while the supervisor starts. The encoder
// runs in the job folder and is given names there, not paths others could change.
struct EncoderCommand {
    explicit EncoderCommand(const QByteArray& wavName)
        : bytes{"lame", "-h", wavName, kEncoded}, env(childEnvironment()) {
        for (QByteArray& b : bytes)
            argv.push_back(b.data());
        argv.push_back(nullptr);
    }
    EncoderCommand(const EncoderCommand&) = delete;
    EncoderCommand& operator=(const EncoderCommand&) = delete;

    std::vector<QByteArray> bytes;
    std::vector<char*> argv;
    std::vector<char*> env;
};

} // namespace

QString EncodeWavToMp3(const QByteArray& encoder, const JobFile& wav, const struct stat& mixed,
                       const OutputName& mp3, JobFolder& job) {
    checkReady(job, mp3);

    const EncoderCommand command(wav.name);
    const QByteArray outFolderPath = nativePath(mp3.folder());
    const QByteArray installed = nativePath(installedEncoder());

    // Anonymous files, not pipes: should we end first, the supervisor writes on unharmed.
    UniqueFd errors(::memfd_create("encoder-errors", MFD_CLOEXEC));
    UniqueFd report(::memfd_create("encoder-outcome", MFD_CLOEXEC));
    if (errors.get() < 0 || report.get() < 0 ||
        ::ftruncate(report.get(), kStartErrorAt + kEncoderStarts * sizeof(int)) != 0)
        failPlainly(notStarted(errno));
    int memoryError = 0;
    UniqueFd memory(encoderInMemory(encoder, memoryError));

    SupervisorPlan plan{command.argv.data(),
                        command.env.data(),
                        memory.get(),
                        memoryError,
                        installed.isEmpty() ? nullptr : installed.constData(),
                        errors.get(),
                        report.get(),
                        job.fd(),
                        job.parentFd(),
                        job.name().constData(),
                        PlanSave(mp3, job.fd()),
                        ::geteuid() == 0,
                        wav.name.constData(),
                        mixed};
    plan.save.outFolderPath = outFolderPath.constData();
    plan.save.tell = report.get();
    plan.save.tellAt = kSavedAt;

    RunOutcome run;
    RunAndWait(
        [&] {
            const pid_t pid = ::fork();
            if (pid == 0)
                supervise(plan);
            return pid;
        },
        run);
    judgeOutcome(report.get(), errors.get(), run, mp3, wav, installed);
    return whereItWent(mp3);
}

} // namespace blendora
