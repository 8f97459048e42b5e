#include "Encode.h"

#include "Failure.h"
#include "File.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
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

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

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

// One pass of the event loop, a 100 ms sleep, a look at the child; its wait status.
int waitWhileEventsRun(pid_t pid) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return status;
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
    Fd errors(::memfd_create("child-errors", MFD_CLOEXEC));
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
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
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
    if (WIFSIGNALED(status)) {
        out.signal = WTERMSIG(status);
        out.exitCode = 128 + out.signal;
    } else {
        out.exitCode = WEXITSTATUS(status);
    }
    return out.exitCode;
}

// ---- the output name ----------------------------------------------------------------------

OutputName& OutputName::operator=(OutputName&& other) noexcept {
    if (this != &other) {
        if (folderFd_ >= 0)
            ::close(folderFd_);
        folderFd_ = std::exchange(other.folderFd_, -1);
        path_ = std::move(other.path_);
        folder_ = std::move(other.folder_);
        name_ = std::move(other.name_);
        before_ = other.before_;
    }
    return *this;
}

OutputName::~OutputName() {
    if (folderFd_ >= 0)
        ::close(folderFd_);
}

QString OutputName::take(const QString& chosen) {
    *this = OutputName();
    path_ = chosen.startsWith(QLatin1Char('/')) ? chosen
                                                : QDir::currentPath() + QLatin1Char('/') + chosen;
    const qsizetype cut = path_.lastIndexOf(QLatin1Char('/'));
    folder_ = cut == 0 ? QStringLiteral("/") : path_.left(cut);
    name_ = nativePath(path_.mid(cut + 1));
    if (name_.isEmpty() || name_ == "." || name_ == "..")
        return QStringLiteral("%1 is not a file that can be replaced.").arg(path_);
    folderFd_ = ::open(nativePath(folder_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat folder;
    if (folderFd_ < 0 || ::fstat(folderFd_, &folder) != 0)
        return QStringLiteral("The new file cannot be written: %1.").arg(errnoText(errno, folder_));
    const uid_t me = ::geteuid();
    if (::fstatat(folderFd_, name_.constData(), &before_, AT_SYMLINK_NOFOLLOW) != 0) {
        before_ = {};
        if (errno != ENOENT)
            return QStringLiteral("The new file cannot be written: %1.")
                .arg(errnoText(errno, path_));
    } else if (!S_ISREG(before_.st_mode) && !S_ISLNK(before_.st_mode)) {
        return QStringLiteral("%1 is not a file that can be replaced.").arg(path_);
    } else if (S_ISREG(before_.st_mode) &&
               ::faccessat(folderFd_, name_.constData(), W_OK, AT_EACCESS) != 0) {
        // A file its owner made read-only is not ours to replace.
        return QStringLiteral("%1 cannot be replaced: %2.").arg(path_, errnoText(errno));
    } else if ((folder.st_mode & S_ISVTX) && me != 0 && before_.st_uid != me &&
               folder.st_uid != me) {
        return QStringLiteral("%1 cannot be replaced: it belongs to another user of this shared "
                              "folder.")
            .arg(path_);
    }
    if (::faccessat(folderFd_, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return QStringLiteral("The new file cannot be written in %1: %2.")
            .arg(folder_, errnoText(errno));
    return QString();
}

// ---- the supervisor -------------------------------------------------------------------------
//
// A forked copy of this program that waits for the encoder and then puts its file in place, so
// that the output is completed when this program has ended first. Between fork() and _exit()
// it makes system calls only: the other threads of this program may hold locks (the allocator's
// among them) that the copy would wait for for ever.

namespace {

enum class Step : int { Unknown, Encoding, NoOutput, Writing, Moved, Changed, Renaming, Saved };

struct Report {
    Step step = Step::Unknown;
    int error = 0;           // errno of the step that failed
    int encoderStatus = 0;   // as waitpid gives it
    long long freeNear = -1; // free bytes where the encoder wrote, after it failed
};
// Where a failed exec leaves its errno in the report file.
constexpr off_t kStartErrorAt = 4096;
// Less free space than this after a failed encode: the disk is what failed.
constexpr long long kFullDisk = 1 << 20;

struct Plan {
    const char* program;
    char* const* argv;
    char* const* envp;
    int errors; // the encoder's output goes here
    int report; // Report at 0, the exec's errno at kStartErrorAt
    int job;    // the job folder, also its lock
    const char* jobPath;
    const char* encoded; // the encoder's file, inside the job folder
    int outFolder;
    const char* outFolderPath;
    const char* name;
    struct stat before; // st_nlink 0: nothing stood at the name
    mode_t mode;
    bool setOwner;
    uid_t uid;
    gid_t gid;
    bool root;
};

bool writeAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= std::size_t(n);
    }
    return true;
}

std::size_t decimal(char* at, unsigned long long value) {
    char digits[24];
    std::size_t n = 0;
    do
        digits[n++] = char('0' + value % 10);
    while ((value /= 10) != 0);
    for (std::size_t i = 0; i < n; ++i)
        at[i] = digits[n - 1 - i];
    return n;
}

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

void emptyFolder(int folder) {
    alignas(8) char buffer[4096];
    for (bool removed = true; removed;) {
        removed = false;
        ::lseek(folder, 0, SEEK_SET);
        for (ssize_t n; (n = ::getdents64(folder, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
                    removed = ::unlinkat(folder, name, 0) == 0 || removed;
            }
    }
}

bool copyAll(int from, int to, int& error) {
    for (;;) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n > 0 || (n < 0 && errno == EINTR))
            continue;
        if (n == 0)
            return true;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            error = errno;
            return false;
        }
        break; // file systems that cannot: copy by hand from where it stopped
    }
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            return true;
        if (n < 0 || !writeAll(to, buffer, std::size_t(n))) {
            error = errno ? errno : EIO;
            return false;
        }
    }
}

// Names the file we are about to make beside the output, before it exists, so that a start
// after a kill finds and removes it.
void record(const Plan& p, const char* temporary, const struct stat* made) {
    const int fd = ::openat(p.job, kOutsideRecord,
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    writeAll(fd, p.outFolderPath, std::strlen(p.outFolderPath) + 1);
    writeAll(fd, temporary, std::strlen(temporary) + 1);
    if (made) {
        char id[64];
        std::size_t n = decimal(id, made->st_dev);
        id[n++] = ':';
        n += decimal(id + n, made->st_ino);
        writeAll(fd, id, n);
    }
    ::close(fd);
}

void randomName(char* at, int length) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[16];
    if (::getrandom(bytes, std::size_t(length), GRND_NONBLOCK) != length)
        for (int i = 0; i < length; ++i)
            bytes[i] = (unsigned char)((::getpid() >> i) ^ (at[i] * 31) ^ (i * 7));
    for (int i = 0; i < length; ++i)
        at[i] = kLetters[bytes[i] % 62];
}

[[noreturn]] void finish(const Plan& p, Report& r) {
    emptyFolder(p.job);
    ::rmdir(p.jobPath);
    ::pwrite(p.report, &r, sizeof r, 0);
    ::_exit(r.step == Step::Saved ? 0 : 1);
}

[[noreturn]] void supervise(const Plan& p) {
    Report r;
    ::setsid();
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD})
        ::sigaction(s, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    int keep[] = {0, 1, 2, p.errors, p.report, p.job, p.outFolder};
    closeAllBut(keep, int(sizeof keep / sizeof keep[0]));

    const pid_t encoder = ::fork();
    if (encoder == 0) {
        ::dup2(p.errors, 1);
        ::dup2(p.errors, 2);
        ::execve(p.program, p.argv, p.envp);
        const int error = errno;
        ::pwrite(p.report, &error, sizeof error, kStartErrorAt);
        ::_exit(127);
    }
    int status = 127 << 8;
    if (encoder < 0) {
        const int error = errno;
        ::pwrite(p.report, &error, sizeof error, kStartErrorAt);
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
    const int in = ::openat(p.job, p.encoded, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat encoded;
    if (in < 0 || ::fstat(in, &encoded) != 0 || !S_ISREG(encoded.st_mode) || encoded.st_size == 0) {
        r.step = Step::NoOutput;
        finish(p, r);
    }

    // A new file of our own beside the output: made here, never found.
    char temporary[] = ".blendora-XXXXXX.mp3";
    int out = -1;
    for (int attempt = 0; attempt < 100 && out < 0; ++attempt) {
        randomName(temporary + 10, 6);
        record(p, temporary, nullptr);
        out = ::openat(p.outFolder, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600);
        if (out < 0 && errno != EEXIST)
            break;
    }
    r.step = Step::Writing;
    if (out < 0) {
        r.error = errno;
        finish(p, r);
    }
    struct stat made;
    ::fstat(out, &made);
    record(p, temporary, &made);
    const auto stillMine = [&] {
        struct stat now;
        return ::fstatat(p.outFolder, temporary, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
               now.st_dev == made.st_dev && now.st_ino == made.st_ino;
    };
    const auto dropMine = [&] {
        if (stillMine())
            ::unlinkat(p.outFolder, temporary, 0);
        finish(p, r);
    };
    if (!copyAll(in, out, r.error))
        dropMine();
    if (::fsync(out) != 0 || (p.setOwner && ::fchown(out, p.uid, p.gid) != 0) ||
        ::fchmod(out, p.mode) != 0) {
        r.error = errno;
        dropMine();
    }
    // Someone moved our file away and put something else under its name: not ours to move.
    if (!stillMine()) {
        r.step = Step::Moved;
        finish(p, r);
    }

    // The chosen name takes the file only while it is what it was when the job began; a file
    // written there since, or put there, is newer than this mix and stays.
    struct stat now;
    const bool absent = ::fstatat(p.outFolder, p.name, &now, AT_SYMLINK_NOFOLLOW) != 0;
    const bool gone = absent && errno == ENOENT;
    int renamed = -1;
    if (gone) {
        renamed = ::renameat2(p.outFolder, temporary, p.outFolder, p.name, RENAME_NOREPLACE);
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS))
            renamed = ::renameat(p.outFolder, temporary, p.outFolder, p.name);
    } else if (!absent && p.before.st_nlink != 0 && sameFileState(now, p.before)) {
        renamed = ::renameat(p.outFolder, temporary, p.outFolder, p.name);
    } else {
        errno = EEXIST;
    }
    if (renamed != 0) {
        r.error = errno;
        r.step = r.error == EEXIST || r.error == ENOTEMPTY ? Step::Changed : Step::Renaming;
        dropMine();
    }
    r.step = Step::Saved;
    finish(p, r);
}

} // namespace

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

EncodeOutcome EncodeWavToMp3(const QString& encoder, const QString& wav, const OutputName& mp3,
                             JobFolder& job) {
    EncodeOutcome result;
    auto couldNotStart = [&](int error) {
        result.problem = QStringLiteral("The encoder could not be started: %1.")
                             .arg(QString::fromLocal8Bit(std::strerror(error)));
        return result;
    };
    if (job.lockFd() < 0 || mp3.folderFd() < 0)
        return couldNotStart(ENOENT);

    const QByteArray encoded = "result.mp3";
    std::vector<QByteArray> bytes{nativePath(encoder), "-h", nativePath(wav),
                                  nativePath(job.file(QString::fromLatin1(encoded)))};
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    std::vector<char*> env = childEnvironment();
    const QByteArray jobPath = nativePath(job.path());
    const QByteArray outFolderPath = nativePath(mp3.folder());

    // Anonymous files, not pipes: should we end first, the supervisor writes on unharmed.
    Fd errors(::memfd_create("encoder-errors", MFD_CLOEXEC));
    Fd report(::memfd_create("encoder-outcome", MFD_CLOEXEC));
    if (errors.get() < 0 || report.get() < 0 ||
        ::ftruncate(report.get(), kStartErrorAt + sizeof(int)) != 0)
        return couldNotStart(errno);

    // The mode and owner of what the name held, never its set-id or sticky bits. Root keeps
    // another user's file theirs; a file that becomes ours gets our umask.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const struct stat& before = mp3.before();
    const bool replacing = before.st_nlink != 0 && S_ISREG(before.st_mode);
    const uid_t me = ::geteuid();
    Plan plan{argv[0],
              argv.data(),
              env.data(),
              errors.get(),
              report.get(),
              job.lockFd(),
              jobPath.constData(),
              encoded.constData(),
              mp3.folderFd(),
              outFolderPath.constData(),
              mp3.name().constData(),
              before,
              mode_t(replacing ? before.st_mode & 0777 : 0666 & ~mask),
              replacing && me == 0,
              before.st_uid,
              before.st_gid,
              me == 0};
    if (replacing && me != 0 && before.st_uid != me)
        plan.mode &= ~mask;

    const pid_t pid = ::fork();
    if (pid == 0)
        supervise(plan);
    if (pid < 0)
        return couldNotStart(errno);
    const int status = waitWhileEventsRun(pid);

    Report r;
    int startError = 0;
    if (::pread(report.get(), &r, sizeof r, 0) != ssize_t(sizeof r))
        r = Report();
    if (::pread(report.get(), &startError, sizeof startError, kStartErrorAt) !=
        ssize_t(sizeof startError))
        startError = 0;
    const QString words = encoderLastWords(tailOf(errors.get()));
    const auto withWords = [&](const QString& text) {
        return words.isEmpty() ? text : text + QStringLiteral("\r\n") + words;
    };
    const auto stopped = [&](int signal) {
        return withWords(QStringLiteral("The encoder was stopped by signal %1 (%2).")
                             .arg(signal)
                             .arg(QString::fromLocal8Bit(strsignal(signal))));
    };
    const auto noSpace = [](const QString& folder, const QString& what) {
        return QStringLiteral("There is not enough free space in %1 to %2.").arg(folder, what);
    };
    const int es = r.encoderStatus;
    switch (r.step) {
    case Step::Saved:
        result.ok = true;
        return result;
    case Step::Unknown:
        result.problem = WIFSIGNALED(status)
                             ? stopped(WTERMSIG(status))
                             : QStringLiteral("The encoder ended without telling how it went.");
        break;
    case Step::Encoding:
        if (WIFEXITED(es) && WEXITSTATUS(es) == 127 && startError != 0)
            return couldNotStart(startError);
        if (WIFSIGNALED(es))
            result.problem = stopped(WTERMSIG(es));
        else if (r.freeNear >= 0 && r.freeNear < kFullDisk)
            result.problem =
                noSpace(QFileInfo(job.path()).absolutePath(), QStringLiteral("encode the mix"));
        else
            result.problem = withWords(
                QStringLiteral("The encoder failed with exit code %1.").arg(WEXITSTATUS(es)));
        break;
    case Step::NoOutput:
        result.problem = QStringLiteral("The encoder wrote no output file.");
        break;
    case Step::Writing:
        result.problem = r.error == ENOSPC || r.error == EDQUOT
                             ? noSpace(mp3.folder(), QStringLiteral("save the new file"))
                             : QStringLiteral("The new file cannot be written in %1: %2.")
                                   .arg(mp3.folder(), errnoText(r.error));
        break;
    case Step::Moved:
        result.problem = QStringLiteral("Someone else moved the new file away in %1 before it "
                                        "could be saved; nothing was replaced.")
                             .arg(mp3.folder());
        break;
    case Step::Changed:
        result.problem = QStringLiteral("%1 was changed while the mix was made; that newer file "
                                        "is kept and this mix was not saved.")
                             .arg(mp3.path());
        break;
    case Step::Renaming:
        result.problem = QStringLiteral("The new file cannot be saved as %1: %2.")
                             .arg(mp3.path(), errnoText(r.error));
        break;
    }
    return result;
}

} // namespace blendora
