#include "QtPrompts.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

namespace blendora {

QString QtPrompts::displayText(const QString& text) {
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
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
int show(QWidget* parent, QMessageBox::Icon icon, const QString& text, const QString& caption,
         QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, caption, QtPrompts::displayText(text), buttons, parent);
    return box.exec();
}
} // namespace

void QtPrompts::message(const QString& text, const QString& caption) {
    show(parent_, QMessageBox::NoIcon, text, caption, QMessageBox::Ok);
}

bool QtPrompts::question(const QString& text, const QString& caption) {
    return show(parent_, QMessageBox::NoIcon, text, caption, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void QtPrompts::warning(const QString& text, const QString& caption) {
    show(parent_, QMessageBox::Warning, text, caption, QMessageBox::Ok);
}

namespace {
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
    return QFileDialog::getOpenFileName(parent_, request.title, startPath(request),
                                        toolkitFilter(request.filter));
}

QString QtPrompts::saveFile(const FileDialogRequest& request) {
    return QFileDialog::getSaveFileName(parent_, request.title, startPath(request),
                                        toolkitFilter(request.filter));
}

bool QtShell::openUrl(const QString& url) {
    return QDesktopServices::openUrl(QUrl(url));
}

bool QtShell::openFolder(const QString& folder) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

} // namespace blendora
