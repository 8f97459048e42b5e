#pragma once

#include "AppTitle.h"

#include <QString>

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
QString SaveSetting(const QString& appName, const QString& section, const QString& key,
                    const QString& value);

// A start removes the scratch folders that a write ended halfway (a kill) left beside the file.
void RemoveStaleSettingsScratch(const QString& appName = kMakerName);

// The window's two entries over one start of the program. A store that fails is told about
// once; the rest of the run goes on without it and says nothing more.
class SettingsStore {
  public:
    // Throws the first failure, for the caller's report; the default once one was told.
    QString read(const QString& key);
    // Never throws: the first failure is shown as a plain message naming the file and why.
    void write(Prompts& prompts, const QString& key, const QString& value);

  private:
    bool told_ = false;
};

} // namespace blendora
