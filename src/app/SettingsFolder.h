#pragma once

#include "Descriptor.h"

#include <QByteArray>
#include <QString>
#include <sys/stat.h>

// What the settings file, its folder and root's policy for them share; nothing else uses it.

namespace blendora {

// The file QSettings would use, worked out without reading it. Empty without a home.
QString settingsFile(const QString& appName);

inline constexpr auto kNotWritten = "The settings file %1 cannot be written: %2";
// Thrown with the person's words when the settings file `file` cannot be written.
[[noreturn]] void notWritten(const QString& file, const QString& why);

// Root's policy, kept in SettingsRoot.cpp.
// Nearest folder on the way to `folder` that exists.
QString nearestFolder(QString folder, struct stat& st);
// For root: the first folder or link on the way to `path` that others control, judged without
// following links (a link in someone's HOME may point into root's own folders). A link's own
// modes mean nothing; only its owner counts.
QString anotherUsersOnTheWay(QString at);

// The settings folder, held, and the lock that two copies of the program take across read,
// change and rename, so that each write changes only its own key. A scratch folder found while
// the lock is held was left by a copy that ended before it could remove it.
class SettingsFolder {
  public:
    // Throws, in the words of a file that cannot be written, when the folder cannot be held.
    SettingsFolder(const QString& file, int waitMs);
    ~SettingsFolder() { release(); }
    SettingsFolder(const SettingsFolder&) = delete;
    SettingsFolder& operator=(const SettingsFolder&) = delete;

    int fd() const { return fd_.get(); }
    const QByteArray& name() const { return name_; }
    const QString& path() const { return path_; }

    // A private folder beside the file, removed by whatever ends the program meanwhile. Its
    // name goes into the lock file before the folder is made: that record is what proves a
    // folder left there by a killed copy ours. Throws when it cannot be made.
    int makeScratch();

    // Moves what stands at the name, no settings, to a name of its own beside it, without
    // replacing anything; answers that name, and throws when it could not.
    QString keepAside(const struct stat& seen);

  private:
    // The lock file holds the name of the scratch folder of the write under way, or nothing.
    // Only a lock file of ours that we hold is written or believed.
    bool record(const QByteArray& scratch);

    [[noreturn]] void refuse(const QString& why) const { notWritten(file_, why); }

    void hold(int waitMs);

    void release();

    // Only the folder the lock file names was ours: a look-alike name beside it may be the
    // person's own (a backup of the settings), and stays with what it holds.
    void removeStaleScratch();

    bool isScratchName(const QByteArray& name) const;

    QString file_, path_;
    QByteArray name_, scratchName_;
    UniqueFd fd_, lock_, scratch_;
    bool locked_ = false; // the lock is ours and held, so its record may be trusted
};

} // namespace blendora
