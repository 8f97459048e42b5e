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
    void remove();
    // Ending the program at once removes the folder (again, after another clean-up took over).
    void armEndCleanup();

  private:
    QString path_;
};

// Removes job folders of ours that a killed run left behind: those whose process is gone.
void RemoveStaleJobFolders(const QString& temporaryFolder);

// Room left free on a disk that a job writes to, so that it never fills it up.
inline constexpr std::int64_t kSpareSpace = 8 << 20;

// Free bytes for us on the file system that holds path, or -1 when unknown.
std::int64_t freeSpace(const QString& path);

} // namespace blendora
