#pragma once

#include "Prompts.h"

#include <QPointer>
#include <QWidget>

namespace blendora {

// Message boxes and file dialogs of the desktop.
class QtPrompts : public Prompts {
  public:
    // Makes every box the toolkit draws show its text as ours do.
    QtPrompts();
    void setParent(QWidget* parent) { parent_ = parent; }
    void message(const QString& text, const QString& caption) override;
    void messageWithLink(const QString& text, const QString& address,
                         const QString& caption) override;
    bool question(const QString& text, const QString& caption) override;
    void warning(const QString& text, const QString& caption) override;
    void notice(const QString& text, const QString& caption) override;
    QString openFile(const FileDialogRequest& request) override;
    QString saveFile(const FileDialogRequest& request) override;

    // CR LF and lone CR become line breaks; whatever else would reorder or hide text shows.
    static QString displayText(const QString& text);
    // "Desc|*.a|Desc2|*.b" in the toolkit's form "Desc (*.a);;Desc2 (*.b)".
    static QString toolkitFilter(const QString& filter);

  private:
    QPointer<QWidget> parent_;
};

class QtShell : public Shell {
  public:
    bool openUrl(const QString& url) override;
    bool openFolder(const QString& folder) override;
};

} // namespace blendora
