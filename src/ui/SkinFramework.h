#pragma once

#include <QString>
#include <QWidget>

namespace blendora {

// The skin engine: a skin file is a Qt style sheet. Calls come in a fixed order: LoadSkin,
// AutoApplyNewWindows, ApplyWindow.
class SkinFramework {
  public:
    // Reads the style sheet; the second argument names a section of a skin package (unused).
    void LoadSkin(const QString& path, const QString& section);
    // Dialogs and message boxes opened later take the skin as well.
    bool AutoApplyNewWindows = false;
    void ApplyWindow(QWidget* window);

    QString styleSheet() const { return sheet_; }

  private:
    QString sheet_;
};

} // namespace blendora
