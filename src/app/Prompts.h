#pragma once

#include <QString>

namespace blendora {

// What the common dialog is given before a showing.
struct FileDialogRequest {
    QString fileName;
    QString title;
    QString filter;        // "Description|pattern"
    QString initialFolder; // empty: the toolkit decides
};

// Everything that needs a person: message boxes and file dialogs. Texts are passed with
// their exact characters, names in them through shownName(); a display turns CR LF and lone CR
// into line breaks and shows them as plain text.
class Prompts {
  public:
    virtual ~Prompts() = default;
    // OK only, no icon (style 0).
    virtual void message(const QString& text, const QString& caption) = 0;
    // The same, followed by one of the program's own web addresses, the only text in any
    // message that may be a link; never a name.
    virtual void messageWithLink(const QString& text, const QString& address,
                                 const QString& caption) {
        message(text + address, caption);
    }
    // Yes and No, no icon (style 4); true for Yes.
    virtual bool question(const QString& text, const QString& caption) = 0;
    // The same as message(), but told while the person may be typing: the box does not take
    // the keyboard, and the caller goes on at once.
    virtual void notice(const QString& text, const QString& caption) = 0;
    // OK with the warning icon (style 48).
    virtual void warning(const QString& text, const QString& caption) = 0;
    // The chosen path, or "" when cancelled.
    virtual QString openFile(const FileDialogRequest& request) = 0;
    virtual QString saveFile(const FileDialogRequest& request) = 0;
};

// Opening things in the desktop.
class Shell {
  public:
    virtual ~Shell() = default;
    virtual bool openUrl(const QString& url) = 0;
    virtual bool openFolder(const QString& folder) = 0;
};

} // namespace blendora
