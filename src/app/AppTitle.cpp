#include "AppTitle.h"

namespace blendora {

namespace {
QString& currentTitle() {
    static QString title = kProductTitle;
    return title;
}
} // namespace

QString shortenedTitle(const QString& productTitle) {
    QString t = productTitle;
    do {
        const qsizetype space = t.lastIndexOf(QLatin1Char(' '));
        if (space < 0)
            break;
        t.truncate(space);
    } while (t.size() > 40);
    return t;
}

QString appTitle() {
    return currentTitle();
}

void SetAppTitle(const QString& productTitle) {
    currentTitle() = shortenedTitle(productTitle);
}

} // namespace blendora
