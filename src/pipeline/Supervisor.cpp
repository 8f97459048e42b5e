#include "Supervisor.h"

#include "Descriptor.h"
#include "File.h"
#include "Folders.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace blendora {

namespace {

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
void runFrom(int fd, const SupervisorPlan& p) {
    ::fcntl(fd, F_SETFD, 0);
    ::fexecve(fd, p.argv, p.envp);
}

[[noreturn]] void runEncoder(const SupervisorPlan& p, pid_t supervisor) {
    // The encoder goes when its supervisor does: nobody would be left to save its work.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != supervisor)
        ::_exit(127);
    ::dup2(p.errors, 1);
    ::dup2(p.errors, 2);
    int error[kEncoderStarts] = {p.memoryError, 0, ENOENT};
    if (::fchdir(p.job) != 0) {
        error[FromMemory] = error[CopyInJobFolder] = error[Installed] = errno;
    } else {
        if (p.memory >= 0 && p.memoryError == 0) {
            runFrom(p.memory, p);
            error[FromMemory] = errno;
        }
        // A kernel that refuses to run anonymous files: a copy nobody else can reach.
        UniqueFd copy(
            ::openat(p.job, kCopyName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
        const bool made = copy.valid();
        struct stat sealed {};
        int copyError = !made          ? errno
                        : p.memory < 0 ? 0
                        : ::fstat(p.memory, &sealed) != 0
                            ? errno
                            : CopyWholeFile(p.memory, copy.get(), sealed.st_size);
        // Delayed write errors show at the close: a copy that may not be whole is not run.
        if (made && !copy.close() && copyError == 0)
            copyError = errno;
        if (!made || p.memory < 0 || copyError != 0) {
            error[CopyInJobFolder] = p.memory < 0 ? error[FromMemory] : copyError;
        } else {
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
    // Should even this fail, the job still hears 127 and says the encoder failed with it.
    (void)writeAll(p.report, error, sizeof error, kStartErrorAt);
    ::_exit(127);
}

[[noreturn]] void finish(const SupervisorPlan& p, SupervisorReport& r) {
    removeHeldFolder(p.jobParent, p.jobName, p.job);
    // A report that cannot be written reads as none: the job then judges by what stands at the
    // name, as after a kill.
    (void)writeAll(p.report, &r, sizeof r, 0);
    ::_exit(r.step == SupervisorStep::Saving && r.save.step == SaveStep::Saved ? 0 : 1);
}

} // namespace

[[noreturn]] void supervise(const SupervisorPlan& p) {
    SupervisorReport r;
    ::setsid();
    defaultSignals();
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    // The window's connection to the display goes too, so that the window goes when we do.
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
        const int error[kEncoderStarts] = {errno, errno, errno};
        // Unwritten, the job is told the encoder failed with 127, as it did.
        (void)writeAll(p.report, error, sizeof error, kStartErrorAt);
    } else {
        uninterrupted([&] { return ::waitpid(encoder, &status, 0); });
    }
    r.encoderStatus = status;
    // Only a mix still as the merge left it was read whole, whatever the encoder made of it.
    struct stat mix;
    if (::fstatat(p.job, p.mixName, &mix, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFileState(mix, p.mixed)) {
        r.step = SupervisorStep::MixChanged;
        finish(p, r);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        r.step = SupervisorStep::Encoding;
        r.freeNear = freeBytes(p.job, p.root);
        finish(p, r);
    }
    const int in = ::openat(p.job, kEncoded, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat encoded;
    if (in < 0 || ::fstat(in, &encoded) != 0 || !S_ISREG(encoded.st_mode) || encoded.st_size == 0) {
        r.step = SupervisorStep::NoOutput;
        finish(p, r);
    }
    r.step = SupervisorStep::Saving;
    r.save = SaveBeside(p.save, in, encoded.st_size);
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
    UniqueFd held(fd);
    if (!writeAll(fd, bytes.constData(), std::size_t(bytes.size())) ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        error = errno;
        return -1;
    }
    return held.release();
}

} // namespace blendora
