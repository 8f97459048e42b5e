#include "SkinFramework.h"

#include "Failure.h"
#include "Paths.h"

#include <QApplication>
#include <QFile>

namespace blendora {

void SkinFramework::LoadSkin(const QString& path, const QString&) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(shownName(path) + QStringLiteral(": ") + file.errorString());
    sheet_ = QString::fromUtf8(file.readAll());
}

void SkinFramework::ApplyWindow(QWidget* window) {
    if (!window)
        fail(QStringLiteral("No window to skin."));
    if (AutoApplyNewWindows)
        qApp->setStyleSheet(sheet_);
    else
        window->setStyleSheet(sheet_);
}

} // namespace blendora
