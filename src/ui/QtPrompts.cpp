#include "QtPrompts.h"

#include "Paths.h"
#include "Settings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSettings>
#include <QSpacerItem>
#include <QUrl>

namespace blendora {

QString QtPrompts::displayText(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shownText(out);
}

QString QtPrompts::toolkitFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' '));
        entries << (description.contains(QLatin1Char('('))
                        ? description
                        : description + QStringLiteral(" (") + patterns + QLatin1Char(')'));
    }
    return entries.join(QStringLiteral(";;"));
}

namespace {

// Room in a title bar beside its caption: the window's icon and buttons, and their margins.
constexpr int kTitleBarRoom = 160;

// A box as every message of ours shows: plain text that can be selected, never markup or a
// link whatever a name in it holds; only `link`, one of the program's own addresses, is one.
void prepare(QMessageBox& box, const QString& caption, const QString& link = QString()) {
    Qt::TextInteractionFlags flags = Qt::TextSelectableByMouse;
    box.setTextFormat(Qt::PlainText);
    if (!link.isEmpty()) {
        box.setTextFormat(Qt::RichText);
        QString html = box.text().toHtmlEscaped() +
                       QStringLiteral("<a href=\"%1\">%1</a>").arg(link.toHtmlEscaped());
        box.setText(html.replace(QLatin1Char('\n'), QStringLiteral("<br>")));
        flags |= Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard;
        // The text now takes the keyboard too, but after the buttons, as in other boxes.
        box.buttons().constFirst()->setFocus();
    }
    box.setTextInteractionFlags(flags);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
        label->setOpenExternalLinks(true);
    // A box as narrow as "Done." would cut its caption off in the title bar.
    const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(title.horizontalAdvance(caption) + kTitleBarRoom, 0,
                                      QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
}

int show(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& caption,
         QMessageBox::StandardButtons buttons, const QString& link = QString()) {
    QMessageBox box(icon, caption, QtPrompts::displayText(text), buttons, parent);
    prepare(box, caption, link);
    return box.exec();
}

// The toolkit's own boxes (the file dialog's "already exists", its "delete") leave the text's
// format to a guess, and a name holding markup would be drawn as markup: the person could be told
// the opposite of what a button does. Boxes that chose a format are ours.
class PlainBoxes : public QObject {
  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = event->type() == QEvent::Show ? qobject_cast<QMessageBox*>(watched) : nullptr;
        if (box && box->textFormat() == Qt::AutoText) {
            box->setTextFormat(Qt::PlainText);
            box->setText(QtPrompts::displayText(box->text()));
        }
        return false;
    }
};

} // namespace

QtPrompts::QtPrompts() {
    static QPointer<QObject> watch;
    if (!watch && qApp) {
        watch = new PlainBoxes;
        watch->setParent(qApp);
        qApp->installEventFilter(watch);
    }
}

void QtPrompts::message(const QString& text, const QString& caption) {
    show(parent_, QMessageBox::NoIcon, text, caption, QMessageBox::Ok);
}

void QtPrompts::messageWithLink(const QString& text, const QString& address,
                                const QString& caption) {
    show(parent_, QMessageBox::NoIcon, text, caption, QMessageBox::Ok, address);
}

bool QtPrompts::question(const QString& text, const QString& caption) {
    return show(parent_, QMessageBox::NoIcon, text, caption, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void QtPrompts::warning(const QString& text, const QString& caption) {
    show(parent_, QMessageBox::Warning, text, caption, QMessageBox::Ok);
}

void QtPrompts::notice(const QString& text, const QString& caption) {
    auto* box =
        new QMessageBox(QMessageBox::NoIcon, caption, displayText(text), QMessageBox::Ok, parent_);
    prepare(*box, caption);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // Beside the window rather than over the field being typed into, where the desktop lets
    // a program place its windows.
    if (parent_)
        box->move(parent_->window()->frameGeometry().bottomLeft() + QPoint(0, 8));
    box->show();
}

namespace {

// The toolkit's dialogs keep their places and history through QSettings, which writes through a
// link at its name, and a native dialog keeps its own: both only where our settings may be.
// Answers whether they may keep them.
bool keepDialogState() {
    const QString folder = ToolkitSettingsFolder();
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope,
                           folder.isEmpty() ? QStringLiteral("/dev/null") : folder);
    return !folder.isEmpty();
}

QString startPath(const FileDialogRequest& request) {
    if (request.fileName.isEmpty())
        return request.initialFolder;
    return request.initialFolder.isEmpty()
               ? request.fileName
               : request.initialFolder + QLatin1Char('/') + request.fileName;
}
} // namespace

QString QtPrompts::openFile(const FileDialogRequest& request) {
    // The toolkit's open dialog only accepts files that exist.
    const QFileDialog::Options options(keepDialogState() ? 0 : QFileDialog::DontUseNativeDialog);
    return QFileDialog::getOpenFileName(parent_, request.title, startPath(request),
                                        toolkitFilter(request.filter), nullptr, options);
}

namespace {

// The toolkit's own dialog reads a typed name that holds double quotes as a list of quoted
// names: `my "best" mix.mp3` would be saved as `best`. A save takes one name, as typed.
class SaveDialog : public QFileDialog {
  public:
    using QFileDialog::QFileDialog;
    QString typed; // the whole name, when the toolkit would have split it

    void accept() override {
        const auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        const QString name = edit ? edit->text() : QString();
        if (!name.contains(QLatin1Char('"')))
            return QFileDialog::accept();
        const QFileInfo file(name.startsWith(QLatin1Char('/'))
                                 ? name
                                 : directory().absolutePath() + QLatin1Char('/') + name);
        if (file.isDir())
            return setDirectory(file.absoluteFilePath());
        if (file.exists() &&
            QMessageBox::warning(
                this, windowTitle(),
                tr("%1 already exists.\nDo you want to replace it?").arg(file.fileName()),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
            return;
        typed = file.absoluteFilePath();
        QDialog::accept();
    }
};

} // namespace

QString QtPrompts::saveFile(const FileDialogRequest& request) {
    const bool keep = keepDialogState();
    SaveDialog dialog(parent_, request.title, startPath(request), toolkitFilter(request.filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontUseNativeDialog, !keep);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.typed.isEmpty() ? dialog.selectedFiles().value(0) : dialog.typed;
}

bool QtShell::openUrl(const QString& url) {
    return QDesktopServices::openUrl(QUrl(url));
}

bool QtShell::openFolder(const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

} // namespace blendora
