#pragma once

#include "Prompts.h"

namespace blendora {

// The window's one file dialog: properties set before each showing, the answer in FileName.
class CommonDialog {
  public:
    QString FileName;
    QString DialogTitle;
    QString Filter;
    QString InitDir;

    void ShowOpen(Prompts& prompts) { FileName = prompts.openFile(request()); }
    void ShowSave(Prompts& prompts) { FileName = prompts.saveFile(request()); }

  private:
    FileDialogRequest request() const { return {FileName, DialogTitle, Filter, InitDir}; }
};

inline const QString kMp3Filter = QStringLiteral("MP3 Files (*.mp3)|*.mp3");

} // namespace blendora
