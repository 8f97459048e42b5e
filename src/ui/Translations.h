#pragma once

#include <QLocale>

class QTranslator;

namespace blendora {

// The toolkit's own dialogs and buttons ("Cancel", "Look in:") in the language of `locale`, from
// the toolkit's translations; the program's own texts stay as they are written. The installed
// translator, owned by the application, or null when there is none for that language.
QTranslator* loadToolkitTranslations(const QLocale& locale);

} // namespace blendora
