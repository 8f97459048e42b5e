#pragma once

#include <QString>

namespace blendora {

// The folder jobs work in: TEMP, else TMPDIR, else /tmp, unless another user could change what
// the names in it point at. Then a private folder of ours serves, and `warning` says so.
struct WorkFolder {
    QString path;
    QString warning;
};
WorkFolder workFolder();

// True when someone other than us or root can rename or replace the entries of a folder with
// this owner and mode: another user owns it, or others may write it without the sticky bit (a
// group that is only ours is no other).
bool othersControl(unsigned ownerUid, unsigned ownerGid, unsigned mode);

} // namespace blendora
