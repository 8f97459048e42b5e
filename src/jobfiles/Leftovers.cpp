#include "Leftovers.h"

#include "Descriptor.h"
#include "Folders.h"
#include "Paths.h"

#include <QDir>
#include <QRegularExpression>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace blendora {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Only a name of the kind the save gives: ".blendora-" and six letters or digits (with ".mp3"
// in the record of an earlier version).
bool saveFolderName(const char* name) {
    static const char kStart[] = ".blendora-";
    const std::size_t start = sizeof kStart - 1, length = std::strlen(name);
    if (std::strncmp(name, kStart, start) != 0 ||
        (length != start + 6 &&
         !(length == start + 10 && std::strcmp(name + start + 6, ".mp3") == 0)))
        return false;
    return drawnLetters(name + start, 6);
}

unsigned long long decimalAt(const char*& at) {
    unsigned long long value = 0;
    for (; isDigit(*at); ++at)
        value = value * 10 + unsigned(*at - '0');
    return value;
}

// What the job had begun beside its output and not finished (its saver was killed): removed
// only while it is still the very one the job made. System calls only: a signal's clean-up
// runs it.
void removeRecordedOutside(int job) {
    char bytes[PATH_MAX + 128];
    ssize_t read = -1;
    {
        const UniqueFd fd(
            ::openat(job, kOutsideRecord, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid())
            return;
        read = readAll(fd.get(), bytes, sizeof bytes - 1);
    }
    const std::size_t size = read > 0 ? std::size_t(read) : 0;
    bytes[size] = '\0';
    // The output's folder, NUL, the folder's name, NUL, then "device:inode" once it is made.
    const char* path = bytes;
    const std::size_t pathLength = std::strlen(path);
    if (pathLength + 1 >= size)
        return;
    const char* name = path + pathLength + 1;
    if (!saveFolderName(name))
        return;
    const char* id = name + std::strlen(name) + 1;
    bool known = false;
    unsigned long long device = 0, inode = 0;
    if (id < bytes + size && isDigit(*id)) {
        device = decimalAt(id);
        known = *id++ == ':' && isDigit(*id);
        inode = decimalAt(id);
    }
    const UniqueFd held(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int folder = held.get();
    if (folder < 0)
        return;
    // Once made, it is known by its inode (root may have given a file to another user
    // already); before, only one of ours can be it.
    const auto isIt = [&](const struct stat& s) {
        return known ? device == s.st_dev && inode == s.st_ino : s.st_uid == ::geteuid();
    };
    struct stat st;
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && isIt(st)) {
        if (S_ISREG(st.st_mode)) {
            ::unlinkat(folder, name, 0);
        } else if (S_ISDIR(st.st_mode)) {
            const UniqueFd inner = openFolderAt(folder, name);
            if (inner.valid() && ::fstat(inner.get(), &st) == 0 && isIt(st))
                removeHeldFolder(folder, name, inner.get());
        }
    }
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

// The made record of the folder `job` named `name`: its length, 0 when it cannot be told.
std::size_t madeRecord(char (&bytes)[NAME_MAX + 64], int job, const char* name) {
    struct stat st;
    const std::size_t length = std::strlen(name);
    if (length > NAME_MAX || ::fstat(job, &st) != 0)
        return 0;
    std::memcpy(bytes, name, length + 1);
    std::size_t n = length + 1;
    n += decimal(bytes + n, st.st_dev);
    bytes[n++] = ':';
    return n + decimal(bytes + n, st.st_ino);
}

// A folder of the person's named as ours are (a backup, or one of ours renamed to keep it)
// holds no record naming it under its own name and inode.
bool provenMade(int job, const char* name) {
    char wanted[NAME_MAX + 64], found[NAME_MAX + 65];
    const std::size_t n = madeRecord(wanted, job, name);
    const UniqueFd fd(::openat(job, kMadeRecord, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return n > 0 && fd.valid() && readAll(fd.get(), found, sizeof found) == ssize_t(n) &&
           std::memcmp(found, wanted, n) == 0;
}

} // namespace

bool recordMade(int job, const char* name) {
    char bytes[NAME_MAX + 64];
    const std::size_t n = madeRecord(bytes, job, name);
    UniqueFd fd(n == 0 ? -1
                       : ::openat(job, kMadeRecord,
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.valid() && writeAll(fd.get(), bytes, n) && fd.close();
}

bool recordOutside(int job, const char* outFolder, const char* name, const struct stat* made) {
    UniqueFd fd(
        ::openat(job, kOutsideRecord, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return false;
    char id[64];
    std::size_t n = 0;
    if (made) {
        n = decimal(id, made->st_dev);
        id[n++] = ':';
        n += decimal(id + n, made->st_ino);
    }
    return writeAll(fd.get(), outFolder, std::strlen(outFolder) + 1) &&
           writeAll(fd.get(), name, std::strlen(name) + 1) && writeAll(fd.get(), id, n) &&
           fd.close();
}

void removeJobFolder(int parent, const char* name, int folder) {
    removeRecordedOutside(folder);
    removeHeldFolder(parent, name, folder);
}

void RemoveStaleJobFolders(const QString& temporaryFolder) {
    static const QRegularExpression pattern(QStringLiteral("^blendora-job-(\\d+)-[A-Za-z0-9]{6}$"));
    const UniqueFd held(
        ::open(nativePath(temporaryFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int parent = held.get();
    if (parent < 0)
        return;
    const QDir folder(temporaryFolder);
    for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (!match.hasMatch())
            continue;
        const pid_t pid = pid_t(match.captured(1).toLongLong());
        if (pid <= 0 || pid == ::getpid() || (::kill(pid, 0) == 0 || errno == EPERM))
            continue;
        const QByteArray entry = nativePath(name);
        // Only real folders of our own; never a link someone placed.
        const UniqueFd folderHeld = openFolderAt(parent, entry.constData());
        const int job = folderHeld.get();
        if (job < 0)
            continue;
        struct stat st;
        // An encoder that outlived its program still holds the folder.
        if (::fstat(job, &st) == 0 && st.st_uid == ::geteuid() &&
            provenMade(job, entry.constData()) && ::flock(job, LOCK_EX | LOCK_NB) == 0) {
            removeJobFolder(parent, entry.constData(), job);
        }
    }
}

} // namespace blendora
