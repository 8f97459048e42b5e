#include "Form1.h"
#include "JobFolder.h"
#include "Paths.h"

#include <QApplication>
#include <QFileInfo>
#include <QUrl>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    blendora::RemoveStaleJobFolders(blendora::temporaryFolder());
    // Files handed over by the desktop ("Open With") take the place of the stored ones. Start-up
    // changes the current folder, so relative names are made whole first.
    QStringList files;
    for (const QString& argument : app.arguments().mid(1))
        files << (QUrl(argument).isLocalFile() ? QUrl(argument).toLocalFile()
                                               : QFileInfo(argument).absoluteFilePath());
    blendora::Form1 form;
    if (!form.Form_Load())
        return 0;
    form.OpenFiles(files);
    form.show();
    return app.exec();
}
