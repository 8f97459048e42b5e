#include "Settings.h"

#include "Prompts.h"

#include <utility>

namespace blendora {

QString SettingsStore::read(const QString& key) {
    try {
        return GetSetting(kMakerName, kProductTitle, key);
    } catch (...) {
        if (told_)
            return QString();
        told_ = true;
        throw;
    }
}

void SettingsStore::write(Prompts& prompts, const QString& key, const QString& value) {
    prompts_ = &prompts;
    pending_.insert(key, value);
    flush();
}

// Every value not yet stored, newest first for its key. A lock that stays busy is waited for
// once; after that each try takes no time, and a timer tries again until it is free.
void SettingsStore::flush() {
    QString notice;
    for (auto it = pending_.begin(); it != pending_.end();) {
        try {
            notice = SaveSetting(kMakerName, kProductTitle, it.key(), it.value(),
                                 busy_ ? 0 : kLockWaitMs);
            busy_ = false;
        } catch (const LockBusy& e) {
            if (!std::exchange(busy_, true))
                notice = describe(e) + QStringLiteral("\r\rBlendora goes on working, and "
                                                      "remembers the two files once it is free.");
            break;
        } catch (const std::exception& e) {
            notice = describe(e) + QStringLiteral("\r\rBlendora goes on working, but cannot "
                                                  "remember the two files for its next start.");
        } catch (...) {
            notice = QStringLiteral("The settings cannot be saved.");
        }
        it = pending_.erase(it);
    }
    if (!pending_.isEmpty() && !retry_.isActive())
        retry_.start(1000);
    if (notice.isEmpty() || told_ || !prompts_)
        return;
    told_ = true;
    // Told from the fields' change handlers, at a key the person typed: the keys after it
    // belong to the field.
    prompts_->notice(notice, appTitle());
}

} // namespace blendora
