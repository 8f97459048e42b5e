#include "MixJob.h"

#include "AppTitle.h"
#include "CommonDialog.h"
#include "Decode.h"
#include "Encode.h"
#include "ErrorReport.h"
#include "Failure.h"
#include "File.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "Merge.h"
#include "Paths.h"
#include "ProgramEnd.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace blendora {

QString FileNameFromPath(const QString& path) {
    if (path.isEmpty())
        fail(QStringLiteral("Subscript out of range"));
    return path.section(QLatin1Char('/'), -1);
}

void ForceDeleteFile(const JobFile& file) {
    if (!file.valid())
        failErrno(ENOENT, file.path);
    // A job folder is ours and 0700: nothing there needs write access given back first.
    if (::unlinkat(file.folder, file.name.constData(), 0) != 0)
        failErrno(errno, file.path);
}

void RemoveFile(const JobFile& file) {
    DoEvents();
    try {
        ForceDeleteFile(file);
    } catch (...) {
        // A file that is not there, or will not go, is passed over in silence.
    }
}

void WaitSeconds(double seconds) {
    QElapsedTimer clock;
    clock.start();
    const qint64 total = qint64(seconds * 1000);
    QTimer wake;
    wake.setSingleShot(true);
    for (qint64 left = total; left > 0; left = total - clock.elapsed()) {
        // Sleep in the event loop until something happens or the time is up.
        wake.start(int(left));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

namespace {

QByteArray& encoderOverride() {
    static QByteArray bytes;
    return bytes;
}

// A job holds at most six descriptors at once (its folder and that folder's parent, the
// output's folder, and three files or the encoder's three anonymous files), and a message box
// drawn meanwhile needs two more. Fewer free than that, the job would fail halfway or the
// toolkit would lose its display connection; it is refused before it begins instead.
constexpr int kJobDescriptors = 8;

QString descriptorShortage() {
    struct rlimit limit;
    DIR* open = ::opendir("/proc/self/fd");
    if (!open)
        return QString();
    long count = -1; // the listing's own descriptor
    while (const struct dirent* entry = ::readdir(open))
        count += entry->d_name[0] != '.';
    ::closedir(open);
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        rlim_t(count + kJobDescriptors) <= limit.rlim_cur)
        return QString();
    return QStringLiteral("%1: a mix needs %2 free file descriptors, and only %3 of the %4 that "
                          "Blendora may open are free (ulimit -n).")
        .arg(errnoText(EMFILE))
        .arg(kJobDescriptors)
        .arg(std::max(0L, long(limit.rlim_cur) - count))
        .arg(qulonglong(limit.rlim_cur));
}

} // namespace

void setEncoderProgramForTesting(const QByteArray& bytes) {
    encoderOverride() = bytes;
}

void RunMixJob(MixContext& job) {
    Form1View& view = job.view;
    Prompts& prompts = job.prompts;
    CommonDialog& dialog = job.dialog;
    Trap trap(prompts, proc::PushButton2Click);
    auto say = [&](int line, const QString& text) {
        trap.at(line, [&] { prompts.message(text, appTitle()); });
    };

    bool stop = false;
    trap.at(100, [&] { stop = job.mixInProgress; });
    if (stop)
        return;
    trap.at(102, [&] { job.mixInProgress = true; });
    const auto done = [&] { trap.at(190, [&] { job.mixInProgress = false; }); };

    if (trap.test(104, [&] { return view.text1().isEmpty(); })) {
        say(188, QStringLiteral("You forgot to input first mp3 file."));
        return done();
    }
    if (trap.test(106, [&] { return view.text2().isEmpty(); })) {
        say(186, QStringLiteral("You forgot to input second mp3 file."));
        return done();
    }
    if (trap.test(108, [&] { return !FileIsPresent(view.text1()); })) {
        say(184, QStringLiteral("First mp3 file not found."));
        return done();
    }
    if (trap.test(110, [&] { return !FileIsPresent(view.text2()); })) {
        say(182, QStringLiteral("Second mp3 file not found."));
        return done();
    }
    trap.at(112, [&] { dialog.FileName = QString(); });
    trap.at(114, [&] { dialog.DialogTitle = QStringLiteral("Create New MP3 and Save As.."); });
    trap.at(116, [&] { dialog.Filter = kMp3Filter; });
    trap.at(118, [&] {
        // Start beside the first input when that folder takes new files, else at home: the
        // current folder is the program's own.
        const QFileInfo first(view.text1());
        dialog.InitDir =
            QFileInfo(first.absolutePath()).isWritable() ? first.absolutePath() : QDir::homePath();
        dialog.ShowSave(prompts);
    });
    if (trap.test(120, [&] { return dialog.FileName.isEmpty(); }))
        return done();

    // From here a stage that fails skips the stages after it; the clean-up always runs.
    QString failure;
    auto stage = [&](int line, auto&& statement) {
        if (!failure.isEmpty())
            return;
        if (!trap.at(line,
                     [&] {
                         if (const QString why = statement(); !why.isEmpty())
                             failure = why;
                     }) &&
            failure.isEmpty())
            failure = trap.lastDescription().isEmpty() ? QStringLiteral("An error occurred.")
                                                       : trap.lastDescription();
    };

    JobFolder folder;
    JobFile temp1, temp2, result, encoderCopy; // inside the folder, once it exists
    QString warning, moved;
    QByteArray encoderBytes;
    OutputName output;
    trap.at(122, [&] { view.setMousePointer(PointerBusy); });
    trap.at(124, [&] { view.setProgressValue(0); });
    stage(126, [&] {
        if (const QString why = descriptorShortage(); !why.isEmpty())
            return why;
        if (!encoderOverride().isEmpty()) {
            encoderBytes = encoderOverride();
            return QString();
        }
        QFile resource(QStringLiteral(":/CUSTOM/101"));
        if (!resource.open(QIODevice::ReadOnly))
            fail(QStringLiteral("The encoder is missing from this program."));
        encoderBytes = resource.readAll();
        return QString();
    });
    stage(128, [&] {
        folder.create(&warning);
        folder.checkStillAtPath();
        temp1 = folder.file(QStringLiteral("temp1.wav"));
        temp2 = folder.file(QStringLiteral("temp2.wav"));
        result = folder.file(QStringLiteral("result.wav"));
        // Made only where the kernel refuses to run the encoder from memory.
        encoderCopy = folder.file(QStringLiteral("lame"));
        return QString();
    });
    // Once a run: the folder passed over stays the same for every job.
    static bool warned = false;
    if (!warning.isEmpty() && !std::exchange(warned, true))
        say(128, warning);
    // The name as it is now: only what stands there now may be replaced at the end.
    stage(130, [&] { return output.take(dialog.FileName); });
    if (failure.isEmpty()) {
        trap.at(132, [&] {
            view.setProgressText(QStringLiteral("Converting ") + FileNameFromPath(view.text1()) +
                                 QStringLiteral(" Step 1"));
        });
        trap.at(134, [&] { view.doEvents(); });
        trap.at(136, [&] { view.setProgressValue(100); });
    }
    stage(138, [&] {
        return job.decoder.DecodeMp3ToWav(view.text1(), temp1)
                   ? QString()
                   : QStringLiteral("The first file could not be read.");
    });
    if (failure.isEmpty()) {
        trap.at(140, [&] {
            view.setProgressText(QStringLiteral("Converting ") + FileNameFromPath(view.text2()) +
                                 QStringLiteral(" Step 2"));
        });
        trap.at(142, [&] { view.doEvents(); });
        trap.at(144, [&] { view.setProgressValue(100); });
    }
    stage(146, [&] {
        return job.decoder.DecodeMp3ToWav(view.text2(), temp2)
                   ? QString()
                   : QStringLiteral("The second file could not be read.");
    });
    if (failure.isEmpty()) {
        trap.at(148, [&] { view.setProgressValue(0); });
        trap.at(150, [&] { view.setProgressText(QStringLiteral("Merging.. Step 1")); });
        trap.at(152, [&] { view.doEvents(); });
    }
    stage(154, [&] {
        // Refused up front, with the figures, rather than found out on a full disk.
        if (const QString why = MergeRefusal(temp1, temp2, result, prompts); !why.isEmpty())
            return why;
        return MergeWave(temp1, temp2, result, view, prompts)
                   ? QString()
                   : QStringLiteral("The two files could not be mixed.");
    });
    if (failure.isEmpty()) {
        trap.at(156, [&] { view.setProgressMaximum(100); });
        trap.at(158, [&] { view.setProgressText(QStringLiteral("Merging.. Step 2")); });
        trap.at(160, [&] { view.doEvents(); });
    }
    stage(162, [&] {
        // Should the program end during the encode, the encoder still needs its folder: only
        // the decoded inputs go at once, and the encoder's supervisor removes the rest after.
        folder.armEndCleanup(true);
        const EncodeOutcome outcome = EncodeWavToMp3(encoderBytes, result, output, folder);
        folder.armEndCleanup();
        moved = outcome.note;
        return outcome.problem;
    });
    trap.at(164, [&] { WaitSeconds(1); });
    for (const auto& [line, path] :
         {std::pair{166, temp1}, {168, temp2}, {170, result}, {172, encoderCopy}})
        trap.at(line, [&] {
            if (path.valid())
                RemoveFile(path);
        });
    folder.remove();
    trap.at(174, [&] { view.setMousePointer(PointerDefault); });
    trap.at(176, [&] { view.setProgressValue(0); });
    trap.at(178, [&] { view.setProgressText(QStringLiteral("Progress Bar")); });
    if (!moved.isEmpty())
        say(180, moved);
    if (failure.isEmpty())
        say(180, QStringLiteral("Done."));
    else
        trap.at(180, [&] {
            prompts.warning(QStringLiteral("No mixed file was made.\r\r") + failure, appTitle());
        });
    done();
}

} // namespace blendora
