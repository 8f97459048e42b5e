#pragma once

#include "Descriptor.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <sys/stat.h>

namespace blendora {

// A file in a folder held open: the folder's descriptor and the file's name. It is reached only
// through that descriptor and never followed where it is a link; `path` is for messages.
struct JobFile {
    int folder = -1;
    QByteArray name;
    QString path;
    // In a job folder everything written is new: a name that is taken is no file of ours.
    bool fresh = false;

    bool valid() const { return folder >= 0 && !name.isEmpty(); }
    // The file beside this one whose name is this one's with `suffix` added.
    JobFile withSuffix(const QString& suffix) const;
    // The folder's path, for messages.
    QString folderPath() const;
};

// A private folder (mode 0700) for one job's files, made afresh inside the work folder and held
// open from the moment it is made. Every file in it is reached through that descriptor, never
// through its path, which whoever can write the parent folder could point elsewhere.
class JobFolder {
  public:
    JobFolder() = default;
    ~JobFolder() { remove(); }
    JobFolder(const JobFolder&) = delete;
    JobFolder& operator=(const JobFolder&) = delete;

    // Throws when no folder can be made. `warning` is set when TEMP was passed over.
    void create(QString* warning = nullptr);
    // A file inside, reached through the folder's descriptor; invalid while there is no folder.
    JobFile file(const QString& name) const;
    const QString& path() const { return path_; }
    // Held open, with a shared flock: a start leaves a folder alone while anyone holds it.
    int fd() const { return fd_.get(); }
    int parentFd() const { return parent_.get(); }
    const QByteArray& name() const { return name_; }
    // Whether its name in the parent folder held still names the folder held (path() may name
    // another by now); throws a Condition when not.
    void checkStillAtPath() const;
    void remove();
    // What the end of the program removes: the whole folder, or while the encoder runs (its
    // supervisor removes the rest when done) the decoded inputs only.
    void armEndCleanup(bool encoderRuns = false);

  private:
    QString path_;
    QByteArray name_;
    UniqueFd parent_, fd_;
};

// Removes a file of a held folder; true when it went.
bool removeFile(const JobFile& file);

} // namespace blendora
