#pragma once

#include "Descriptor.h"
#include "SaveBeside.h"

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

// The mode and owner of what the name held, never its set-id or sticky bits. Root keeps another
// user's file theirs; a file that becomes ours gets our umask.
SavePlan PlanSave(const OutputName& mp3, int job);

// For the person: why the save did not happen; empty once it did.
QString SaveProblem(const SaveResult& save, const OutputName& mp3);

} // namespace blendora
