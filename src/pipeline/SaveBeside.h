#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// The save proper, run by the saver process after fork(): system calls only.

namespace blendora {

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

} // namespace blendora
