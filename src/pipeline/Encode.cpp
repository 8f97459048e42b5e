#include "Encode.h"

#include "Descriptor.h"
#include "Failure.h"
#include "File.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "Paths.h"
#include "WorkSpace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace blendora {

namespace {

constexpr std::size_t kTailBytes = 4096;

QByteArray tailOf(int fd) {
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0)
        return {};
    const off_t from = st.st_size > off_t(kTailBytes) ? st.st_size - off_t(kTailBytes) : 0;
    QByteArray bytes(st.st_size - from, '\0');
    const ssize_t n = ::pread(fd, bytes.data(), std::size_t(bytes.size()), from);
    bytes.truncate(n > 0 ? n : 0);
    return bytes;
}

// The environment without LAMEOPT: nothing outside the program changes how it encodes.
std::vector<char*> childEnvironment() {
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "LAMEOPT=", 8) != 0)
            env.push_back(*e);
    env.push_back(nullptr);
    return env;
}

// One pass of the event loop, a 100 ms sleep, a look at the child; its wait status, or -1 when
// the child cannot be waited for (SIGCHLD ignored reaps it unseen): nothing tells how it went.
int waitWhileEventsRun(pid_t pid) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

} // namespace

int RunAndWait(const QStringList& arguments, int style, RunOutcome* outcome) {
    (void)style;
    RunOutcome local;
    RunOutcome& out = outcome ? *outcome : local;
    out = RunOutcome();
    if (arguments.isEmpty()) {
        out.startError = ENOENT;
        return kStartFailureBase + out.startError;
    }

    std::vector<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes.push_back(nativePath(a));
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    // The error output goes to an anonymous file rather than a pipe: should we end first, the
    // child writes on without a broken pipe ending it.
    UniqueFd errors(::memfd_create("child-errors", MFD_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (errors.get() >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errors.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, errors.get(), 2);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> env = childEnvironment();
    pid_t pid = 0;
    const int started =
        ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (started != 0) {
        out.startError = started;
        return kStartFailureBase + started;
    }
    out.started = true;

    const int status = waitWhileEventsRun(pid);
    out.errorTail = tailOf(errors.get());
    if (status == -1) {
        out.exitCode = -1;
    } else if (WIFSIGNALED(status)) {
        out.signal = WTERMSIG(status);
        out.exitCode = 128 + out.signal;
    } else {
        out.exitCode = WEXITSTATUS(status);
    }
    return out.exitCode;
}

// ---- the supervisor -------------------------------------------------------------------------
//
// A forked copy of this program that runs the encoder, waits for it and then saves its file, so
// that the output is completed when this program has ended first. Between fork() and _exit()
// it makes system calls only: the other threads of this program may hold locks (the allocator's
// among them) that the copy would wait for for ever.

namespace {

enum class Step : int { Unknown, Encoding, NoOutput, Saving };

// The three ways to start the encoder, in the order they are tried.
enum Way { InMemory, CopyInJobFolder, Installed, kWays };

struct Report {
    Step step = Step::Unknown;
    SaveStep save = SaveStep::Writing;
    int error = 0;           // errno of the step that failed
    int encoderStatus = 0;   // as waitpid gives it
    long long freeNear = -1; // free bytes where the encoder wrote, after it failed
};
// Where the save tells which file it put under the name, and where a failed start leaves the
// errno of each way, in the report file.
constexpr off_t kSavedAt = 2048;
constexpr off_t kStartErrorAt = 4096;
// Less free space than this after a failed encode: the disk is what failed.
constexpr long long kFullDisk = 1 << 20;
constexpr char kCopyName[] = "lame";
constexpr char kEncoded[] = "result.mp3";

struct Plan {
    char* const* argv;
    char* const* envp;
    int memory;      // the encoder in an anonymous file, or -1
    int memoryError; // why it cannot run from there
    const char* installed;
    int errors; // the encoder's output goes here
    int report; // Report at 0, the start errors at kStartErrorAt
    int job;    // the job folder, also its lock
    int jobParent;
    const char* jobName;
    SavePlan save;
    bool root;
};

void closeRange(int from, int to) {
    if (from > to)
        return;
    if (::close_range(unsigned(from), unsigned(to), 0) == 0)
        return;
    for (int fd = from; fd <= std::min(to, 65535); ++fd)
        ::close(fd);
}

// Closes every descriptor but the ones listed: the window's connection to the display among
// them, so that the window goes when this program does.
void closeAllBut(int* keep, int count) {
    for (int i = 1; i < count; ++i)
        for (int j = i; j > 0 && keep[j - 1] > keep[j]; --j)
            std::swap(keep[j - 1], keep[j]);
    int next = 0;
    for (int i = 0; i < count; ++i) {
        if (keep[i] < next)
            continue;
        closeRange(next, keep[i] - 1);
        next = keep[i] + 1;
    }
    closeRange(next, INT_MAX);
}

// Whatever the starter of this program ignored or blocked is not the encoder's business.
void defaultSignals() {
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int s = 1; s < NSIG; ++s)
        if (::sigaction(s, &byDefault, nullptr) != 0 && errno == EINVAL) {
            // The C library keeps a few real-time signals to itself; the kernel does not.
            struct {
                void (*handler)(int);
                unsigned long flags;
                void (*restorer)();
                unsigned long mask;
            } kernelDefault{SIG_DFL, 0, nullptr, 0};
            ::syscall(SYS_rt_sigaction, s, &kernelDefault, nullptr, sizeof kernelDefault.mask);
        }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs from a descriptor; a script's interpreter reads it through /dev/fd, so it stays open.
void runFrom(int fd, const Plan& p) {
    ::fcntl(fd, F_SETFD, 0);
    ::fexecve(fd, p.argv, p.envp);
}

[[noreturn]] void runEncoder(const Plan& p, pid_t supervisor) {
    // The encoder goes when its supervisor does: nobody would be left to save its work.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != supervisor)
        ::_exit(127);
    ::dup2(p.errors, 1);
    ::dup2(p.errors, 2);
    int error[kWays] = {p.memoryError, 0, ENOENT};
    if (::fchdir(p.job) != 0) {
        error[InMemory] = error[CopyInJobFolder] = error[Installed] = errno;
    } else {
        if (p.memory >= 0 && p.memoryError == 0) {
            runFrom(p.memory, p);
            error[InMemory] = errno;
        }
        // A kernel that refuses to run anonymous files: a copy nobody else can reach.
        const int copy =
            ::openat(p.job, kCopyName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700);
        int copyError = 0;
        if (copy < 0 || p.memory < 0 || !CopyWholeFile(p.memory, copy, copyError)) {
            error[CopyInJobFolder] = p.memory < 0 ? error[InMemory] : copy < 0 ? errno : copyError;
            if (copy >= 0)
                ::close(copy);
        } else {
            ::close(copy);
            const int run = ::openat(p.job, kCopyName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (run >= 0)
                runFrom(run, p);
            error[CopyInJobFolder] = errno;
        }
        if (p.installed) {
            ::execve(p.installed, p.argv, p.envp);
            error[Installed] = errno;
        }
    }
    ::pwrite(p.report, error, sizeof error, kStartErrorAt);
    ::_exit(127);
}

[[noreturn]] void finish(const Plan& p, Report& r) {
    removeHeldFolder(p.jobParent, p.jobName, p.job);
    ::pwrite(p.report, &r, sizeof r, 0);
    ::_exit(r.step == Step::Saving && r.save == SaveStep::Saved ? 0 : 1);
}

[[noreturn]] void supervise(const Plan& p) {
    Report r;
    ::setsid();
    defaultSignals();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    int keep[] = {0, 1, 2, p.errors, p.report, p.job, p.jobParent, p.save.outFolder, p.memory};
    closeAllBut(keep, int(sizeof keep / sizeof keep[0]));

    const pid_t self = ::getpid();
    // A plain fork() here would run the handlers that this program's libraries registered for
    // it, in a copy that holds their locks in whatever state the threads left them.
    const pid_t encoder = ::_Fork();
    if (encoder == 0)
        runEncoder(p, self);
    int status = 127 << 8;
    if (encoder < 0) {
        const int error[kWays] = {errno, errno, errno};
        ::pwrite(p.report, error, sizeof error, kStartErrorAt);
    } else {
        while (::waitpid(encoder, &status, 0) < 0 && errno == EINTR) {
        }
    }
    r.encoderStatus = status;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        r.step = Step::Encoding;
        struct statfs disk;
        if (::fstatfs(p.job, &disk) == 0)
            r.freeNear = (long long)(p.root ? disk.f_bfree : disk.f_bavail) * disk.f_bsize;
        finish(p, r);
    }
    const int in = ::openat(p.job, kEncoded, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat encoded;
    if (in < 0 || ::fstat(in, &encoded) != 0 || !S_ISREG(encoded.st_mode) || encoded.st_size == 0) {
        r.step = Step::NoOutput;
        finish(p, r);
    }
    r.step = Step::Saving;
    r.save = SaveBeside(p.save, in, r.error);
    finish(p, r);
}

// The encoder's bytes in an anonymous file, sealed: nothing on disk to swap, no mount to refuse
// running it. Where the kernel refuses to run such files, the file still holds the bytes for a
// copy, and `error` says why it cannot run.
int encoderInMemory(const QByteArray& bytes, int& error) {
#ifndef MFD_EXEC
    constexpr unsigned MFD_EXEC = 0x10;
#endif
    int fd = ::memfd_create("lame", MFD_CLOEXEC | MFD_ALLOW_SEALING | MFD_EXEC);
    if (fd < 0 && errno == EINVAL) // kernels before 6.3 know no MFD_EXEC
        fd = ::memfd_create("lame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        error = errno;
        fd = ::memfd_create("lame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0)
            return -1;
    }
    if (!writeAll(fd, bytes.constData(), std::size_t(bytes.size()))) {
        error = errno;
        ::close(fd);
        return -1;
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

QString installedEncoder() {
    const QString installed = QStringLiteral(BLENDORA_INSTALLED_LAME);
    return QFileInfo(installed).isExecutable()
               ? installed
               : QStandardPaths::findExecutable(QStringLiteral("lame"));
}

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

EncodeOutcome EncodeWavToMp3(const QByteArray& encoder, const JobFile& wav, const OutputName& mp3,
                             JobFolder& job) {
    EncodeOutcome result;
    const auto failed = [&](const QString& problem) {
        result.problem = problem;
        return result;
    };
    auto couldNotStart = [&](int error) {
        return failed(QStringLiteral("The encoder could not be started: %1.")
                          .arg(QString::fromLocal8Bit(std::strerror(error))));
    };
    if (job.fd() < 0 || mp3.folderFd() < 0)
        return couldNotStart(ENOENT);
    try {
        job.checkStillAtPath();
    } catch (const std::exception& e) {
        return failed(describe(e));
    }

    // The encoder runs in the job folder and is given names there, not paths others could
    // change.
    std::vector<QByteArray> bytes{"lame", "-h", wav.name, kEncoded};
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    std::vector<char*> env = childEnvironment();
    const QByteArray outFolderPath = nativePath(mp3.folder());
    const QByteArray installed = nativePath(installedEncoder());

    // Anonymous files, not pipes: should we end first, the supervisor writes on unharmed.
    UniqueFd errors(::memfd_create("encoder-errors", MFD_CLOEXEC));
    UniqueFd report(::memfd_create("encoder-outcome", MFD_CLOEXEC));
    if (errors.get() < 0 || report.get() < 0 ||
        ::ftruncate(report.get(), kStartErrorAt + kWays * sizeof(int)) != 0)
        return couldNotStart(errno);
    int memoryError = 0;
    UniqueFd memory(encoderInMemory(encoder, memoryError));

    Plan plan{argv.data(),
              env.data(),
              memory.get(),
              memoryError,
              installed.isEmpty() ? nullptr : installed.constData(),
              errors.get(),
              report.get(),
              job.fd(),
              job.parentFd(),
              job.name().constData(),
              PlanSave(mp3, job.fd()),
              ::geteuid() == 0};
    plan.save.outFolderPath = outFolderPath.constData();
    plan.save.tell = report.get();
    plan.save.tellAt = kSavedAt;

    const pid_t pid = ::fork();
    if (pid == 0)
        supervise(plan);
    if (pid < 0)
        return couldNotStart(errno);
    const int waited = waitWhileEventsRun(pid);
    const int status = waited == -1 ? 0 : waited;

    Report r;
    int startError[kWays] = {};
    if (::pread(report.get(), &r, sizeof r, 0) != ssize_t(sizeof r))
        r = Report();
    if (::pread(report.get(), startError, sizeof startError, kStartErrorAt) !=
        ssize_t(sizeof startError))
        std::fill(std::begin(startError), std::end(startError), 0);
    const QString words = encoderLastWords(tailOf(errors.get()));
    const auto withWords = [&](const QString& text) {
        return words.isEmpty() ? text : text + QStringLiteral("\r\n") + words;
    };
    const auto signalName = [](int signal) {
        return QStringLiteral("%1 (%2)").arg(signal).arg(QString::fromLocal8Bit(strsignal(signal)));
    };
    const int es = r.encoderStatus;
    switch (r.step) {
    case Step::Saving:
        result.ok = r.save == SaveStep::Saved;
        result.problem = SaveProblem(r.save, r.error, mp3);
        break;
    case Step::Unknown: {
        // No report: what stands at the name tells. The file the save made there is the mix
        // once it is whole; a copy cut short is ours and no mix.
        SavedFile saved;
        struct stat now;
        const bool atName =
            ::pread(report.get(), &saved, sizeof saved, kSavedAt) == ssize_t(sizeof saved) &&
            saved.inode != 0 &&
            ::fstatat(mp3.folderFd(), mp3.name().constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == saved.device && now.st_ino == saved.inode;
        if (atName && saved.whole) {
            result.ok = true;
            break;
        }
        if (atName)
            ::unlinkat(mp3.folderFd(), mp3.name().constData(), 0);
        result.problem =
            WIFSIGNALED(status)
                ? QStringLiteral("The save was stopped by signal %1 before it was finished.")
                      .arg(signalName(WTERMSIG(status)))
                : QStringLiteral("The encoder ended without telling how it went.");
        break;
    }
    case Step::Encoding:
        if (WIFEXITED(es) && WEXITSTATUS(es) == 127 && startError[InMemory] != 0) {
            const auto why = [&](int way) {
                return QString::fromLocal8Bit(std::strerror(startError[way]));
            };
            result.problem = QStringLiteral("The encoder could not be started: from memory (%1), "
                                            "as a copy in %2 (%3), nor as %4 (%5).")
                                 .arg(why(InMemory), job.path(), why(CopyInJobFolder),
                                      installed.isEmpty() ? QStringLiteral("the installed lame")
                                                          : QFile::decodeName(installed),
                                      why(Installed));
        } else if (WIFSIGNALED(es)) {
            result.problem = withWords(QStringLiteral("The encoder was stopped by signal %1.")
                                           .arg(signalName(WTERMSIG(es))));
        } else if (r.freeNear >= 0 && r.freeNear < kFullDisk) {
            result.problem =
                QStringLiteral("There is not enough free space in %1 to encode the mix.")
                    .arg(QFileInfo(job.path()).absolutePath()) +
                kOtherWorkFolder;
        } else {
            result.problem = withWords(
                QStringLiteral("The encoder failed with exit code %1.").arg(WEXITSTATUS(es)));
        }
        break;
    case Step::NoOutput:
        result.problem = QStringLiteral("The encoder wrote no output file.");
        break;
    }
    if (result.ok) {
        if (const QString now = mp3.movedTo(); now == QStringLiteral("?"))
            result.note = QStringLiteral("The folder %1 was moved while the mix was made, and "
                                         "Blendora cannot tell where to; the new file %2 went "
                                         "with it.")
                              .arg(mp3.folder(), QFile::decodeName(mp3.name()));
        else if (!now.isEmpty())
            result.note =
                QStringLiteral("The folder %1 was moved while the mix was made; the "
                               "new file is %2.")
                    .arg(mp3.folder(), now + QLatin1Char('/') + QFile::decodeName(mp3.name()));
    }
    return result;
}

} // namespace blendora
