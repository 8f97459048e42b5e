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
#include <QScopeGuard>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace blendora {

namespace {

// The part of a path after its last "/"; an empty path has no part and fails.
QString FileNameFromPath(const QString& path) {
    if (path.isEmpty())
        fail(QStringLiteral("Subscript out of range"));
    return path.section(QLatin1Char('/'), -1);
}

// Deletes a job file; throws when it will not go.
void ForceDeleteFile(const JobFile& file) {
    if (!file.valid())
        failErrno(ENOENT, file.path);
    // A job folder is ours and 0700: nothing there needs write access given back first.
    if (::unlinkat(file.folder, file.name.constData(), 0) != 0)
        failErrno(errno, file.path);
}

// Deletes a job file after a pass of the event loop; never reports anything.
void RemoveFile(const JobFile& file) {
    DoEvents();
    try {
        ForceDeleteFile(file);
    } catch (const Failure&) {
        // A file that is not there, or will not go, is passed over in silence.
    }
}

} // namespace

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

// A job holds at most seven descriptors at once (its folder and that folder's parent, the
// output's folder, three files or the encoder's three anonymous files, and the engine's channel
// of the last input, which holds that file until the next decode), and a message box drawn
// meanwhile needs two more. Fewer free than that, the job would fail halfway or the
// toolkit would lose its display connection; it is refused before it begins instead.
constexpr int kJobDescriptors = 9;

void refuseWithoutDescriptors() {
    struct rlimit limit;
    DIR* open = ::opendir("/proc/self/fd");
    if (!open)
        return;
    long count = -1; // the listing's own descriptor
    while (const struct dirent* entry = ::readdir(open))
        count += entry->d_name[0] != '.';
    ::closedir(open);
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        rlim_t(count + kJobDescriptors) <= limit.rlim_cur)
        return;
    failPlainly(QStringLiteral("%1: a mix needs %2 free file descriptors, and only %3 of the %4 "
                               "that Blendora may open are free (ulimit -n).")
                    .arg(errnoText(EMFILE))
                    .arg(kJobDescriptors)
                    .arg(std::max(0L, long(limit.rlim_cur) - count))
                    .arg(qulonglong(limit.rlim_cur)));
}

} // namespace

void setEncoderProgramForTesting(const QByteArray& bytes) {
    encoderOverride() = bytes;
}

namespace {

// One run of "Start Mixing" past the dialog, cut at its stages. Every statement keeps its line
// for the report. Once a stage fails, the stages after it are skipped; the clean-up always
// runs, and the end says "Done." or why no mixed file was made.
class MixRun {
  public:
    MixRun(MixContext& job, Trap& trap)
        : job_(job), view_(job.view), prompts_(job.prompts), trap_(trap) {}

    void prepare();
    void decode(int first, int step);
    void merge();
    void encode();
    void cleanUpAndTell();

  private:
    void say(int line, const QString& text) {
        trap_.at(line, [&] { prompts_.message(text, appTitle()); });
    }
    // A stage's statement throws when it fails. A Condition's words become the job's reason,
    // told once in its last message; anything else is a fault, reported with the line, and its
    // description is the reason.
    template <class F> void stage(int line, F&& statement) {
        if (!failure_.isEmpty())
            return;
        std::optional<QString> plainly;
        const bool ran = trap_.at(line, [&] {
            try {
                statement();
            } catch (const Condition& c) {
                plainly = describe(c);
            }
        });
        if (ran && !plainly)
            return;
        const QString reason = plainly ? *plainly : trap_.lastDescription();
        failure_ = reason.isEmpty() ? QStringLiteral("An error occurred.") : reason;
    }
    void loadEncoder();

    MixContext& job_;
    Form1View& view_;
    Prompts& prompts_;
    Trap& trap_;
    QString failure_, moved_;
    JobFolder folder_;
    JobFile temp1_, temp2_, result_, encoderCopy_; // inside the folder, once it exists
    WaveFileInfo decoded_[2];                      // the format each decode wrote
    struct stat mixed_ {};                         // the mix as the merge left it
    QByteArray encoderBytes_;
    OutputName output_;
};

void MixRun::loadEncoder() {
    refuseWithoutDescriptors();
    if (!encoderOverride().isEmpty()) {
        encoderBytes_ = encoderOverride();
        return;
    }
    QFile resource(QStringLiteral(":/CUSTOM/101"));
    if (!resource.open(QIODevice::ReadOnly))
        fail(QStringLiteral("The encoder is missing from this program."));
    encoderBytes_ = resource.readAll();
}

void MixRun::prepare() {
    QString warning;
    trap_.at(122, [&] { view_.setMousePointer(PointerBusy); });
    trap_.at(124, [&] { view_.setProgressValue(0); });
    stage(126, [&] { loadEncoder(); });
    stage(128, [&] {
        folder_.create(&warning);
        folder_.checkStillAtPath();
        temp1_ = folder_.file(QStringLiteral("temp1.wav"));
        temp2_ = folder_.file(QStringLiteral("temp2.wav"));
        result_ = folder_.file(QStringLiteral("result.wav"));
        // Made only where the kernel refuses to run the encoder from memory.
        encoderCopy_ = folder_.file(QStringLiteral("lame"));
    });
    // Once a run: the folder passed over stays the same for every job.
    static bool warned = false;
    if (!warning.isEmpty() && !std::exchange(warned, true))
        say(128, warning);
    // The name as it is now: only what stands there now may be replaced at the end.
    stage(130, [&] { output_.take(job_.dialog.FileName); });
}

// Lines first to first + 6: the progress text, a pass of the event loop, the bar, the decode.
// The field is read afresh at each statement: the person may change it meanwhile.
void MixRun::decode(int first, int step) {
    const JobFile& wav = step == 1 ? temp1_ : temp2_;
    const auto field = [&] { return step == 1 ? view_.text1() : view_.text2(); };
    if (failure_.isEmpty()) {
        trap_.at(first, [&] {
            view_.setProgressText(QStringLiteral("Converting ") +
                                  shownName(FileNameFromPath(field())) +
                                  QStringLiteral(" Step %1").arg(step));
        });
        trap_.at(first + 2, [&] { view_.doEvents(); });
        trap_.at(first + 4, [&] { view_.setProgressValue(100); });
    }
    stage(first + 6, [&] {
        try {
            decoded_[step - 1] = job_.decoder.DecodeMp3ToWav(field(), wav);
        } catch (const UnreadableInput& unreadable) {
            // The decoder has named the file; the end says which one it was, and why.
            failPlainly(QStringLiteral("The %1 file could not be read: %2.")
                            .arg(step == 1 ? QStringLiteral("first") : QStringLiteral("second"),
                                 unreadable.because()));
        }
    });
}

void MixRun::merge() {
    if (failure_.isEmpty()) {
        trap_.at(148, [&] { view_.setProgressValue(0); });
        trap_.at(150, [&] { view_.setProgressText(QStringLiteral("Merging.. Step 1")); });
        trap_.at(152, [&] { view_.doEvents(); });
    }
    stage(154, [&] {
        // Planned from what the decoder wrote: no header is read again.
        const MergePlan plan = PlanMerge(decodedWave(decoded_[0]), decodedWave(decoded_[1]));
        // Refused up front, with the figures, rather than found out on a full disk.
        RefuseMergeThatWouldNotFit(plan, result_);
        mixed_ = MergeWave(plan, temp1_, temp2_, result_, view_, prompts_);
    });
}

void MixRun::encode() {
    if (failure_.isEmpty()) {
        trap_.at(156, [&] { view_.setProgressMaximum(100); });
        trap_.at(158, [&] { view_.setProgressText(QStringLiteral("Merging.. Step 2")); });
        trap_.at(160, [&] { view_.doEvents(); });
    }
    stage(162, [&] {
        // Should the program end during the encode, the encoder still needs its folder: only
        // the decoded inputs go at once, and the encoder's supervisor removes the rest after.
        folder_.armEndCleanup(true);
        const auto whole = qScopeGuard([&] { folder_.armEndCleanup(); });
        moved_ = EncodeWavToMp3(encoderBytes_, result_, mixed_, output_, folder_);
    });
}

void MixRun::cleanUpAndTell() {
    trap_.at(164, [&] { WaitSeconds(1); });
    for (const auto& [line, file] :
         {std::pair{166, temp1_}, {168, temp2_}, {170, result_}, {172, encoderCopy_}})
        trap_.at(line, [&] {
            if (file.valid())
                RemoveFile(file);
        });
    folder_.remove();
    trap_.at(174, [&] { view_.setMousePointer(PointerDefault); });
    trap_.at(176, [&] { view_.setProgressValue(0); });
    trap_.at(178, [&] { view_.setProgressText(QStringLiteral("Progress Bar")); });
    if (!moved_.isEmpty())
        say(180, moved_);
    if (failure_.isEmpty())
        say(180, QStringLiteral("Done."));
    else
        trap_.at(180, [&] {
            prompts_.warning(QStringLiteral("No mixed file was made.\r\r") + failure_, appTitle());
        });
}

// A name whose bytes were not UTF-8 where the toolkit read it (a file dialog, the settings) holds
// U+FFFD instead and names no file: that is what the person is told, not that it is missing.
QString notFound(const QString& name, const char* which, const char* missing) {
    if (!name.contains(QChar::ReplacementCharacter))
        return QString::fromLatin1(missing);
    return QStringLiteral("The name of the %1 mp3 file cannot be read: a part of it is not UTF-8 "
                          "text (shown as \uFFFD). Rename the file and choose it again.")
        .arg(QLatin1String(which));
}

// Lines 104 to 120: the four checks of the fields, then the Save As dialog. False when the job
// ends there, its one message (if any) said.
bool inputsAndOutputChosen(MixContext& job, Trap& trap) {
    Form1View& view = job.view;
    CommonDialog& dialog = job.dialog;
    const auto refuse = [&](int line, const QString& text) {
        trap.at(line, [&] { job.prompts.message(text, appTitle()); });
        return false;
    };
    if (trap.test(104, [&] { return view.text1().isEmpty(); }))
        return refuse(188, QStringLiteral("You forgot to input first mp3 file."));
    if (trap.test(106, [&] { return view.text2().isEmpty(); }))
        return refuse(186, QStringLiteral("You forgot to input second mp3 file."));
    if (trap.test(108, [&] { return !FileIsPresent(view.text1()); }))
        return refuse(184, notFound(view.text1(), "first", "First mp3 file not found."));
    if (trap.test(110, [&] { return !FileIsPresent(view.text2()); }))
        return refuse(182, notFound(view.text2(), "second", "Second mp3 file not found."));
    trap.at(112, [&] { dialog.FileName = QString(); });
    trap.at(114, [&] { dialog.DialogTitle = QStringLiteral("Create New MP3 and Save As.."); });
    trap.at(116, [&] { dialog.Filter = kMp3Filter; });
    trap.at(118, [&] {
        // Start beside the first input when that folder takes new files, else at home: the
        // current folder is the program's own.
        const QFileInfo first(view.text1());
        dialog.InitDir =
            QFileInfo(first.absolutePath()).isWritable() ? first.absolutePath() : QDir::homePath();
        dialog.ShowSave(job.prompts);
    });
    return !trap.test(120, [&] { return dialog.FileName.isEmpty(); });
}

} // namespace

void RunMixJob(MixContext& job) {
    Trap trap(job.prompts, proc::PushButton2Click);
    bool stop = false;
    trap.at(100, [&] { stop = job.mixInProgress; });
    if (stop)
        return;
    trap.at(102, [&] { job.mixInProgress = true; });
    if (inputsAndOutputChosen(job, trap)) {
        MixRun run(job, trap);
        run.prepare();
        run.decode(132, 1);
        run.decode(140, 2);
        run.merge();
        run.encode();
        run.cleanUpAndTell();
    }
    trap.at(190, [&] { job.mixInProgress = false; });
}

} // namespace blendora
