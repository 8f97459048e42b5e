#include "Encode.h"

#include "Failure.h"
#include "Form1View.h"
#include "Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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

    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        DoEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    out.errorTail = tailOf(errors.get());
    if (WIFSIGNALED(status)) {
        out.signal = WTERMSIG(status);
        out.exitCode = 128 + out.signal;
    } else {
        out.exitCode = WEXITSTATUS(status);
    }
    return out.exitCode;
}

namespace {

QString lastLine(const QByteArray& tail) {
    // Progress lines end in CR; the last real line is what explains a failure.
    QString text = QString::fromLocal8Bit(tail);
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (auto it = lines.crbegin(); it != lines.crend(); ++it)
        if (!it->trimmed().isEmpty())
            return it->trimmed();
    return QString();
}

qint64 sizeOf(const QString& path) {
    struct stat st;
    if (::stat(nativePath(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return st.st_size;
}

} // namespace

EncodeOutcome EncodeWavToMp3(const QString& encoder, const QString& wav, const QString& mp3,
                             const QString& removeAfterwards) {
    EncodeOutcome result;
    // A relative name starting with "-" must never be read as an option.
    QString output =
        mp3.startsWith(QLatin1Char('/')) ? mp3 : QDir::currentPath() + QLatin1Char('/') + mp3;
    struct stat existing;
    const bool existed = ::stat(nativePath(output).constData(), &existing) == 0;
    if (existed && !S_ISREG(existing.st_mode)) {
        result.problem = QStringLiteral("%1 is not a file that can be replaced.").arg(output);
        return result;
    }
    if (existed) // a link is written through, not replaced
        output = QFileInfo(output).canonicalFilePath();
    // A file its owner made read-only is not ours to replace.
    if (existed && ::access(nativePath(output).constData(), W_OK) != 0) {
        result.problem = QStringLiteral("%1 cannot be replaced: %2.")
                             .arg(output, QString::fromLocal8Bit(std::strerror(errno)));
        return result;
    }

    // The encoder writes under a temporary name beside the output, which takes the chosen
    // name only once it is whole: a failure leaves an existing file exactly as it was.
    QString folder = output.section(QLatin1Char('/'), 0, -2);
    if (folder.isEmpty())
        folder = QStringLiteral("/");
    QByteArray partialName = nativePath(folder + QStringLiteral("/.blendora-XXXXXX.mp3"));
    const int fd = ::mkstemps(partialName.data(), 4);
    if (fd < 0) {
        result.problem =
            QStringLiteral("The new file cannot be written: %1.").arg(errnoText(errno, folder));
        return result;
    }
    ::close(fd);
    const QString partial = QFile::decodeName(partialName);

    const mode_t mask = ::umask(0);
    ::umask(mask);
    const mode_t mode = existed ? existing.st_mode & 07777 : 0666 & ~mask;

    // A small supervisor gives the finished file its mode and name, so that the output is
    // completed even when this program ends first. The paths reach it as arguments, never as
    // script text; its own words about a crashed encoder are dropped, the encoder's are kept.
    // 70: the rename failed; 71: the encoder said it succeeded but wrote nothing.
    static const QString kSupervisor = QStringLiteral(
        "exec 3>&2 2>/dev/null; (\"$1\" -h \"$2\" \"$3\" 2>&3); s=$?; "
        "[ -z \"$6\" ] || rm -rf -- \"$6\"; [ $s -eq 0 ] || exit $s; "
        "[ -s \"$3\" ] || exit 71; chmod \"$5\" \"$3\"; mv -f -- \"$3\" \"$4\" 2>&3 || exit 70");
    RunOutcome run;
    RunAndWait({QStringLiteral("/bin/sh"), QStringLiteral("-c"), kSupervisor,
                QStringLiteral("blendora-encoder"), encoder, wav, partial, output,
                QString::number(mode, 8), removeAfterwards},
               0, &run);
    const int signal = run.signal
                           ? run.signal
                           : (run.exitCode > 128 && run.exitCode < 160 ? run.exitCode - 128 : 0);
    if (!run.started || run.exitCode == 127 || run.exitCode == 126) {
        const int error = run.started ? (run.exitCode == 127 ? ENOENT : EACCES) : run.startError;
        result.problem = QStringLiteral("The encoder could not be started: %1.")
                             .arg(QString::fromLocal8Bit(std::strerror(error)));
    } else if (signal != 0) {
        result.problem = QStringLiteral("The encoder was stopped by signal %1 (%2).")
                             .arg(signal)
                             .arg(QString::fromLocal8Bit(strsignal(signal)));
    } else if (run.exitCode == 70) {
        result.problem = QStringLiteral("The new file cannot be saved as %1.").arg(output);
    } else if (run.exitCode == 71) {
        result.problem = QStringLiteral("The encoder wrote no output file.");
    } else if (run.exitCode != 0) {
        result.problem = QStringLiteral("The encoder failed with exit code %1.").arg(run.exitCode);
    } else if (sizeOf(output) <= 0) {
        result.problem = QStringLiteral("The encoder wrote no output file.");
    } else {
        result.ok = true;
        return result;
    }
    const QString line = lastLine(run.errorTail);
    if (!line.isEmpty())
        result.problem += QStringLiteral("\r\n") + line;
    ::unlink(partialName.constData());
    return result;
}

} // namespace blendora
