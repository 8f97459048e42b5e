#pragma once

#include "AppTitle.h"

#include "Failure.h"

#include <QMap>
#include <QString>
#include <QTimer>

namespace blendora {

class Prompts;

// The per-user store: one file named by the application name, a group per section. Read only
// from a regular file of at most 1 MiB, never through a link.
QString GetSetting(const QString& appName, const QString& section, const QString& key,
                   const QString& defaultValue = QString());
// Written through at once, so ending the program at any moment loses nothing: a new file is put
// in place of the old one, never written through a link. Throws a Failure that names the file
// and the reason when the value did not reach it. Answers what the person should know of a
// write that did reach it: a file of no settings is replaced.
// Another copy's write takes milliseconds; a wait this long is still not felt while typing.
inline constexpr int kLockWaitMs = 200;
QString SaveSetting(const QString& appName, const QString& section, const QString& key,
                    const QString& value, int lockWaitMs = kLockWaitMs);
// What SaveSetting throws when the lock stayed busy for `lockWaitMs`.
class LockBusy : public Condition {
  public:
    using Condition::Condition;
};

// Root with another user's HOME (an old sudo keeps it) and no session bus: the toolkit is kept
// from starting one that would write there. Called before the toolkit starts.
void StayOutOfAnotherUsersHome();

// Where the toolkit may keep what it keeps between runs (the file dialog's places and history):
// the settings folder, when nobody else can put a name into it or change a folder on the way to
// it, since QSettings writes through a link at its name. Empty: nowhere.
QString ToolkitSettingsFolder();

// A start removes the scratch folders that a write ended halfway (a kill) left beside the file.
void RemoveStaleSettingsScratch(const QString& appName = kMakerName);

// The window's two entries over one start of the program. A store that fails is told about
// once; the rest of the run goes on without it and says nothing more.
class SettingsStore {
  public:
    // Throws the first failure, for the caller's report; the default once one was told.
    QString read(const QString& key);
    // Never throws and never holds the window: the first failure is shown as a plain message
    // naming the file and why. A value the lock kept out is stored once it is free.
    void write(Prompts& prompts, const QString& key, const QString& value);

    SettingsStore() {
        retry_.setSingleShot(true);
        retry_.callOnTimeout([this] { flush(); });
    }

  private:
    void flush();

    bool told_ = false, busy_ = false;
    Prompts* prompts_ = nullptr;
    QMap<QString, QString> pending_;
    QTimer retry_;
};

} // namespace blendora
