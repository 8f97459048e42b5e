#include "SaveBeside.h"

#include "Descriptor.h"
#include "File.h"
#include "Folders.h"
#include "Leftovers.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Runs in the saver, between fork() and _exit(): system calls only.

namespace blendora {

// What a copy answers when its source ends before the length it held: it was cut meanwhile.
constexpr int kCameUpShort = ENODATA;

int CopyWholeFile(int from, int to, off_t length) {
    off_t at = 0;
    while (at < length) {
        const ssize_t n = uninterrupted([&] {
            return ::copy_file_range(from, &at, to, nullptr,
                                     std::size_t(std::min<off_t>(length - at, 1 << 30)), 0);
        });
        if (n > 0)
            continue;
        if (n == 0)
            return kCameUpShort;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return errno;
        break; // file systems that cannot: copy by hand from where it stopped
    }
    char buffer[64 * 1024];
    while (at < length) {
        const ssize_t n =
            readAll(from, buffer, std::size_t(std::min<off_t>(length - at, sizeof buffer)), at);
        if (n == 0)
            return kCameUpShort;
        if (n < 0 || !writeAll(to, buffer, std::size_t(n)))
            return errno ? errno : EIO;
        at += n;
    }
    return 0;
}

namespace {

// False, with errno, when it cannot be told: the name is then not taken, since a saver killed
// after it would leave a file there that the job cannot tell from another's.
bool tell(const SavePlan& p, const struct stat& file, bool whole) {
    const SavedFile saved{file.st_dev, file.st_ino, whole};
    return p.tell < 0 || writeAll(p.tell, &saved, sizeof saved, p.tellAt);
}

// A write that failed, as the step it stopped: a source that came up short was cut meanwhile.
SaveResult writingFailed(int error) {
    return {error == kCameUpShort ? SaveStep::Cut : SaveStep::Writing, error};
}

// File systems without owners or modes (FAT) refuse these; the file is saved as cp saves it.
bool refusedForLackOfModes(int error) {
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
}

// Where neither a no-replace rename nor a link exists (FAT through FUSE), the name is made as cp
// makes it, exclusively, and the bytes are copied in; a failure removes only that file of ours.
SaveResult copyToNewName(int own, const char* file, const SavePlan& p) {
    const UniqueFd source(::openat(own, file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const int from = source.get();
    UniqueFd to(from < 0 ? -1
                         : ::openat(p.outFolder, p.name,
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!to.valid())
        return {errno == EEXIST ? SaveStep::Changed : SaveStep::Writing, errno};
    struct stat made {
    }, ours{};
    int error = ::fstat(to.get(), &made) == 0 && ::fstat(from, &ours) == 0 ? 0 : errno;
    if (error == 0)
        error = tell(p, made, false) ? CopyWholeFile(from, to.get(), ours.st_size) : errno;
    if (error == 0 && ::fsync(to.get()) != 0 && errno != EINVAL)
        error = errno;
    if (error == 0 && ::fchmod(to.get(), p.mode) != 0 && !refusedForLackOfModes(errno))
        error = errno;
    // Delayed write errors (NFS, quota) only show up when it is closed.
    if (!to.close() && error == 0)
        error = errno;
    if (error == 0 && !tell(p, made, true))
        error = errno;
    if (error != 0 && namesFile(p.outFolder, p.name, made.st_dev, made.st_ino))
        ::unlinkat(p.outFolder, p.name, 0);
    return error == 0 ? SaveResult{SaveStep::Saved, 0} : writingFailed(error);
}

// Adds the file under the name only if nothing is there, atomically: no window in which a file
// that appeared meanwhile could be replaced.
SaveResult addWithoutReplacing(int own, const char* file, const SavePlan& p) {
    if (::renameat2(own, file, p.outFolder, p.name, RENAME_NOREPLACE) == 0)
        return {SaveStep::Saved, 0};
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return {errno == EEXIST ? SaveStep::Changed : SaveStep::Renaming, errno};
    // NFS, 9p and many FUSE file systems know no RENAME_NOREPLACE; a link fails with EEXIST.
    if (::linkat(own, file, p.outFolder, p.name, 0) == 0)
        return {SaveStep::Saved, 0};
    const int error = errno;
    if (error == EEXIST)
        return {SaveStep::Changed, error};
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == EMLINK
               ? copyToNewName(own, file, p)
               : SaveResult{SaveStep::Renaming, error};
}

// The new file written whole in our own folder, on the disk, with its owner and mode, and
// closed; answers 0, or the errno of what failed. `st` is the file as written.
int writeWhole(UniqueFd& written, int from, off_t length, const SavePlan& p, struct stat& st) {
    const int out = written.get();
    if (out < 0)
        return errno;
    if (const int error = CopyWholeFile(from, out, length); error != 0)
        return error;
    if ((::fsync(out) != 0 && errno != EINVAL) || ::fstat(out, &st) != 0 ||
        (p.setOwner && ::fchown(out, p.uid, p.gid) != 0 && !refusedForLackOfModes(errno)) ||
        (::fchmod(out, p.mode) != 0 && !refusedForLackOfModes(errno)))
        return errno;
    // Delayed write errors (NFS, quota) only show up here.
    return written.close() ? 0 : errno;
}

// The chosen name takes the file only while it is what it was when the job began; a file
// written there since, or put there, is newer than this mix and stays.
SaveResult putUnderName(int own, const char* file, const SavePlan& p) {
    struct stat now;
    if (::fstatat(p.outFolder, p.name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return addWithoutReplacing(own, file, p);
        return {SaveStep::Renaming, errno};
    }
    if (p.before.st_nlink != 0 && sameFileState(now, p.before)) {
        if (::renameat(own, file, p.outFolder, p.name) == 0)
            return {SaveStep::Saved, 0};
        return {SaveStep::Renaming, errno};
    }
    return {SaveStep::Changed, 0};
}

} // namespace

SaveResult SaveBeside(const SavePlan& p, int from, off_t length) {
    // A folder of our own beside the output: made here, never found. Nobody else can reach into
    // it, and what is moved out of it is taken through its descriptor, whatever its name is by
    // then.
    char folder[] = ".blendora-XXXXXX";
    // Named before it exists, so that a start after a kill finds and removes it.
    const int made = makePrivateFolder(p.outFolder, folder, [&](const char* name) {
        return recordOutside(p.job, p.outFolderPath, name, nullptr);
    });
    if (made != 0)
        return {SaveStep::Writing, errno};
    struct stat st;
    const UniqueFd ownHeld = openFolderAt(p.outFolder, folder);
    const int own = ownHeld.get();
    // File systems without owners show every entry as the folder's owner's.
    if (own < 0 || ::fstat(own, &st) != 0 ||
        (st.st_uid != ::geteuid() && st.st_uid != p.outFolderOwner))
        return {SaveStep::Taken, 0};
    if (!recordOutside(p.job, p.outFolderPath, folder, &st)) {
        const SaveResult unrecorded{SaveStep::Writing, errno};
        removeHeldFolder(p.outFolder, folder, own);
        return unrecorded;
    }
    static const char kFile[] = "new.mp3";
    UniqueFd written(
        ::openat(own, kFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    const int error = writeWhole(written, from, length, p, st);
    SaveResult result = writingFailed(error);
    if (error == 0)
        result =
            tell(p, st, true) ? putUnderName(own, kFile, p) : SaveResult{SaveStep::Writing, errno};
    written.reset();
    removeHeldFolder(p.outFolder, folder, own);
    return result;
}

} // namespace blendora
