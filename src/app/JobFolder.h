#pragma once

#include <QString>
#include <cstdint>

namespace blendora {

// A private folder (mode 0700) for one job's files, made afresh inside the temporary folder,
// so that nothing another user placed there is read, run or followed. Removed when the job
// ends, and also when the program is ended at once during the job.
class JobFolder {
  public:
    JobFolder() = default;
    ~JobFolder() { remove(); }
    JobFolder(const JobFolder&) = delete;
    JobFolder& operator=(const JobFolder&) = delete;

    void create();
    // The path of a file inside; empty while there is no folder.
    QString file(const QString& name) const;
    const QString& path() const { return path_; }
    // Held (flock) while the folder is in use, by us and by whatever inherits it: a start
    // leaves a folder alone while anyone still holds it.
    int lockFd() const { return lock_; }
    void remove();
    // Ending the program at once removes the folder (again, after another clean-up took over).
    void armEndCleanup();

  private:
    QString path_;
    int lock_ = -1;
};

// The file inside a job folder that names the job's one file outside it, while that exists:
// the output's folder, NUL, the file's name, NUL, then "device:inode" once it is made.
inline constexpr char kOutsideRecord[] = "outside";

// Removes job folders of ours that a killed run left behind, with the file they recorded
// outside: those whose process is gone and that nobody holds any more.
void RemoveStaleJobFolders(const QString& temporaryFolder);

// Room left free on a disk that a job writes to, so that it never fills it up.
inline constexpr std::int64_t kSpareSpace = 8 << 20;

// Free bytes for us on the file system that holds path, or -1 when unknown.
std::int64_t freeSpace(const QString& path);

} // namespace blendora
