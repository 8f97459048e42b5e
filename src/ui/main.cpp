#include "AppTitle.h"
#include "Failure.h"
#include "Form1.h"
#include "JobFolder.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "QtPrompts.h"
#include "Settings.h"

#include <QApplication>
#include <QFileInfo>
#include <QUrl>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int run(QApplication& app) {
    try {
        blendora::RemoveStaleJobFolders(blendora::workFolder().path);
    } catch (...) {
        // No folder to work in: the first job says so.
    }
    blendora::RemoveStaleSettingsScratch();
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

// The last net: the program ends with a word of why, never with an exception.
int failed(const QString& description) {
    std::fprintf(stderr, "blendora: %s\n", qPrintable(description));
    blendora::QtPrompts().warning(description, blendora::appTitle());
    return 1;
}

} // namespace

// Whether the toolkit has a display to show the window on; it would abort without one.
bool hasDisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0)
            return true;
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

int main(int argc, char** argv) {
    blendora::recordUmask();
    if (!hasDisplay(argc, argv)) {
        std::fputs("blendora: there is no display to show the window on (DISPLAY and "
                   "WAYLAND_DISPLAY are not set).\n",
                   stderr);
        return 1;
    }
    blendora::takeOverSignals();
    QApplication app(argc, argv);
    // Desktops match a window to its launcher by the desktop entry's name: the Wayland app id
    // and the X11 class both carry it (the class is the application name).
    QApplication::setApplicationName(QStringLiteral(BLENDORA_APP_ID));
    QApplication::setDesktopFileName(QStringLiteral(BLENDORA_APP_ID));
    try {
        return run(app);
    } catch (const std::exception& e) {
        return failed(blendora::describe(e));
    } catch (...) {
        return failed(QStringLiteral("An unexpected failure ended the program."));
    }
}
