#include "AppTitle.h"
#include "Failure.h"
#include "Form1.h"
#include "JobFolder.h"
#include "Leftovers.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "QtPrompts.h"
#include "Settings.h"
#include "Translations.h"
#include "WorkFolder.h"

#include <QApplication>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// What the command line asks for, read before the toolkit needs a display.
struct CommandLine {
    enum { Run, Version, Help, Wrong } action = Run;
    std::string_view wrong;
    std::vector<const char*> files;
};

// The toolkit takes these out of the arguments itself; the first group takes a value.
constexpr std::string_view kToolkitValueOptions[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "qmljsdebugger"};
constexpr std::string_view kToolkitFlags[] = {"reverse", "widgetcount", "nograb", "dograb"};

CommandLine readCommandLine(int argc, char** argv) {
    CommandLine line;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            line.files.push_back(argv[i]);
            continue;
        }
        if (arg == "--") {
            options = false;
            continue;
        }
        if (arg == "--version" || arg == "--help" || arg == "-h") {
            line.action = arg == "--version" ? CommandLine::Version : CommandLine::Help;
            return line;
        }
        std::string_view name = arg.substr(arg.starts_with("--") ? 2 : 1);
        const bool joined = name.find('=') != std::string_view::npos;
        name = name.substr(0, name.find('='));
        bool known = false;
        for (std::string_view option : kToolkitValueOptions)
            if (name == option) {
                known = true;
                i += joined ? 0 : 1;
            }
        for (std::string_view flag : kToolkitFlags)
            known = known || (name == flag && !joined);
        if (!known && line.action == CommandLine::Run) {
            line.action = CommandLine::Wrong;
            line.wrong = arg;
        }
    }
    return line;
}

constexpr char kUsage[] =
    "Usage: blendora [--] [FIRST-FILE [SECOND-FILE]]\n"
    "       blendora -h | --help | --version\n"
    "Mix two audio files into one new MP3.\n"
    "\n"
    "FIRST-FILE fills the first field of the window and SECOND-FILE the second; a field\n"
    "that no file fills shows its file from the last run. file:// links are taken too.\n"
    "\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the name and version and exit\n"
    "  --           end of options: what follows is a file, even when it starts with \"-\"\n"
    "\n"
    "The toolkit's own options, such as -platform NAME or -style NAME, are understood.\n";

int run(QApplication& app, const std::vector<const char*>& arguments) {
    try {
        blendora::RemoveStaleJobFolders(blendora::workFolder().path);
    } catch (const blendora::Failure&) {
        // No folder to work in: the first job says so.
    }
    blendora::RemoveStaleSettingsScratch();
    // Files handed over by the desktop ("Open With") take the place of the stored ones. Start-up
    // changes the current folder, so relative names are made whole first.
    QStringList files;
    for (const char* raw : arguments)
        files << blendora::nameFromArgument(raw);
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

// The toolkit waits for ever on a thread it could not start, before any window, once a user's
// processes reach `ulimit -u`. Room is tried for its threads (four on X11), a file dialog's, and
// a mix's supervisor and encoder.
constexpr int kTasksNeeded = 8;

bool roomForTasks(int count) {
    std::mutex mutex;
    std::condition_variable started;
    bool go = false;
    std::vector<std::thread> threads;
    try {
        while (int(threads.size()) < count)
            threads.emplace_back([&] {
                std::unique_lock lock(mutex);
                started.wait(lock, [&] { return go; });
            });
    } catch (const std::system_error&) {
        // No more threads: the answer.
    }
    {
        const std::lock_guard lock(mutex);
        go = true;
    }
    started.notify_all();
    for (std::thread& thread : threads)
        thread.join();
    return int(threads.size()) == count;
}

int main(int argc, char** argv) {
    blendora::recordUmask();
    const CommandLine line = readCommandLine(argc, argv);
    switch (line.action) {
    case CommandLine::Version:
        std::fputs("Blendora " BLENDORA_VERSION "\n", stdout);
        return 0;
    case CommandLine::Help:
        std::fputs(kUsage, stdout);
        return 0;
    case CommandLine::Wrong:
        std::fprintf(stderr,
                     "blendora: unknown option %.*s\nTry 'blendora --help' for the options.\n",
                     int(line.wrong.size()), line.wrong.data());
        return 2;
    case CommandLine::Run:
        break;
    }
    if (!hasDisplay(argc, argv)) {
        std::fputs("blendora: there is no display to show the window on (DISPLAY and "
                   "WAYLAND_DISPLAY are not set).\n",
                   stderr);
        return 1;
    }
    if (!roomForTasks(kTasksNeeded)) {
        std::fputs("blendora: this user runs as many processes as the system allows (ulimit -u), "
                   "so the window cannot start. End some programs and try again.\n",
                   stderr);
        return 1;
    }
    blendora::takeOverSignals();
    blendora::StayOutOfAnotherUsersHome();
    QApplication app(argc, argv);
    // Desktops match a window to its launcher by the desktop entry's name: the Wayland app id
    // and the X11 class both carry it (the class is the application name).
    QApplication::setApplicationName(QStringLiteral(BLENDORA_APP_ID));
    QApplication::setDesktopFileName(QStringLiteral(BLENDORA_APP_ID));
    blendora::loadToolkitTranslations(QLocale());
    try {
        return run(app, line.files);
    } catch (const std::exception& e) {
        return failed(blendora::describe(e));
    } catch (...) {
        return failed(QStringLiteral("An unexpected failure ended the program."));
    }
}
