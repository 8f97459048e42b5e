#pragma once

#include "Descriptor.h"

#include <QByteArray>
#include <QString>
#include <sys/stat.h>

namespace blendora {

// The name chosen for the new file, as it was when the job began. Its folder is held open and
// the name itself is never followed: a link there is replaced as a name, like any file.
class OutputName {
  public:
    OutputName() = default;

    // Looks at the name now; throws a Condition, in the person's words, when it cannot take the
    // new file.
    void take(const QString& path);

    const QString& path() const { return path_; }
    const QString& folder() const { return folder_; }
    int folderFd() const { return folderFd_.get(); }
    const QByteArray& name() const { return name_; }
    // What stood at the name when it was taken; st_nlink 0 when nothing did.
    const struct stat& before() const { return before_; }
    unsigned folderOwner() const { return folderOwner_; }
    // Where the folder is now when it was moved or renamed since the name was taken; empty
    // while it is still at folder().
    QString movedTo() const;

  private:
    UniqueFd folderFd_;
    unsigned folderOwner_ = 0;
    QString path_, folder_;
    QByteArray name_;
    struct stat before_ {};
};

// Everything the save needs, worked out before fork(): the save itself makes system calls only.
struct SavePlan {
    int outFolder = -1;
    unsigned outFolderOwner = 0;
    const char* outFolderPath = nullptr;
    const char* name = nullptr;
    struct stat before {}; // st_nlink 0: nothing stood at the name
    mode_t mode = 0600;
    bool setOwner = false;
    uid_t uid = 0;
    gid_t gid = 0;
    int job = -1; // the job folder, where the folder made beside the output is recorded
    // Where the save tells which file it put under the name, before it does: should it be
    // killed before it reports, what stands at the name tells whether the mix is there.
    int tell = -1;
    off_t tellAt = 0;
};

// The file the save puts under the name; `whole` once every byte is in it.
struct SavedFile {
    unsigned long long device = 0, inode = 0;
    int whole = 0;
};

// The mode and owner of what the name held, never its set-id or sticky bits. Root keeps another
// user's file theirs; a file that becomes ours gets our umask.
SavePlan PlanSave(const OutputName& mp3, int job);

// Cut: the file being saved came up shorter than it was.
enum class SaveStep : int { Writing, Taken, Changed, Renaming, Cut, Saved };
// How far a save came, and the errno of the step that stopped it.
struct SaveResult {
    SaveStep step = SaveStep::Writing;
    int error = 0;
};

// Copies `from` into a new file inside a private folder made beside the output, then moves it to
// the name from that folder's descriptor, but only while the name is still what it was when
// taken: absent, or the same file in the same state. Never replaces anything else: where a file
// system can neither rename without replacing nor link, the name is made exclusively and the
// file copied into it, as cp does.
// `length` is what `from` held when it was written: a copy that comes up short is no save.
SaveResult SaveBeside(const SavePlan& plan, int from, off_t length);

// Copies the `length` bytes of `from` from its start to `to` at its offset; answers 0,
// ENODATA when `from` ends before them, or the errno that stopped it. System calls only.
int CopyWholeFile(int from, int to, off_t length);

// For the person: why the save did not happen; empty once it did.
QString SaveProblem(const SaveResult& save, const OutputName& mp3);

} // namespace blendora
