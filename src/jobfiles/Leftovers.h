#pragma once

#include <QString>
#include <sys/stat.h>

namespace blendora {

// Removes a job folder as removeHeldFolder does, after the folder it recorded beside an output
// (a killed saver's), while that is still the one the job made. System calls only.
void removeJobFolder(int parent, const char* name, int folder);

// The file inside a job folder that names the job's one folder outside it, while that exists:
// the output's folder, NUL, the folder's name, NUL, then "device:inode" once it is made.
inline constexpr char kOutsideRecord[] = "outside";
// Writes that record; false, with errno, when it is not whole. System calls only.
bool recordOutside(int job, const char* outFolder, const char* name, const struct stat* made);

// The file inside a job folder that proves it ours: the folder's name, NUL, "device:inode".
inline constexpr char kMadeRecord[] = "made";
// Writes that record into the job folder `job` named `name`; false, with errno, when it is not
// whole.
bool recordMade(int job, const char* name);

// Removes job folders of ours that a killed run left behind, with the folder they recorded
// outside: those whose process is gone, that nobody holds any more, and whose record proves
// them the very folder made under that name.
void RemoveStaleJobFolders(const QString& temporaryFolder);

} // namespace blendora
