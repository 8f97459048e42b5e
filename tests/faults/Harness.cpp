#include "Harness.h"

#include "Form1.h"
#include "JobFolder.h"
#include "Leftovers.h"
#include "MixJob.h"
#include "ProgramEnd.h"
#include "Settings.h"
#include "WorkFolder.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QtEndian>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>

namespace blendora::faults {

using test::decode;
using test::ScriptedPrompts;

const QString kDone = QStringLiteral("Done.");
const QString kNoFile = QStringLiteral("No mixed file was made.");
const QByteArray kSecret("only its owner may read this\n");

namespace {

// ---- the child: one job, its prompts as JSON on standard output -------------------------

int runJob(const QString& one, const QString& two, const QString& out, const QString& encoder) {
    // The current folder is the program's own once the window loads; signals end it as they
    // end the program.
    setProgramFolderForTesting(QDir::currentPath());
    takeOverSignals();
    if (!encoder.isEmpty())
        setEncoderProgramForTesting(test::readAll(encoder));
    ScriptedPrompts prompts;
    test::RecordingShell shell;
    Form1 form(Form1Seams{&prompts, &shell, nullptr, [] { return 0.5; }, [] {}});
    if (!form.Form_Load())
        return 2;
    form.Text1->setText(one);
    form.Text2->setText(two);
    prompts.files << out;

    // A link to this file appears at the output name while the first input decodes; or the
    // toolkit ends the program with exit(), as it does when the display goes.
    QString plant = qEnvironmentVariable("PLANT_WHILE_DECODING");
    const bool exitWhileDecoding = qEnvironmentVariableIsSet("EXIT_WHILE_DECODING");
    QJsonArray did;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString pattern =
            QStringLiteral("blendora-job-%1-*").arg(QCoreApplication::applicationPid());
        const QDir temp(temporaryFolder());
        for (const QString& job : temp.entryList({pattern}, QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (exitWhileDecoding && QFile::exists(temp.filePath(job) + "/temp1.wav")) {
                std::puts("exit while decoding");
                std::fflush(stdout);
                std::exit(1);
            }
            if (!plant.isEmpty() && QFile::exists(temp.filePath(job) + "/temp1.wav") &&
                QFile::link(plant, out)) {
                ::lchown(nativePath(out).constData(), kNobody, kNobody);
                did.append("planted a link at the output name while decoding");
                plant.clear();
            }
        }
    });
    // Only when asked: the watch keeps the processor busy while the job runs.
    if (!plant.isEmpty() || exitWhileDecoding)
        watch.start(0);
    // The address space the window holds and a few MB more: too little for libmagic's database.
    if (const int mb = qEnvironmentVariableIntValue("MEMORY_LEFT_MB")) {
        const rlim_t held =
            test::readAll(QStringLiteral("/proc/self/statm")).split(' ')[0].toULong() *
            rlim_t(::sysconf(_SC_PAGESIZE));
        const struct rlimit limit { held + (rlim_t(mb) << 20), held + (rlim_t(mb) << 20) };
        if (::setrlimit(RLIMIT_AS, &limit) != 0)
            return 4;
    }
    form.PushButton2_Click();
    watch.stop();
    form.Form_QueryUnload();

    QJsonArray seen;
    for (const Prompt& p : prompts.seen)
        seen.append(QJsonObject{{"kind", int(p.kind)}, {"text", p.text}, {"caption", p.caption}});
    const QJsonObject report{{"prompts", seen}, {"did", did}};
    std::fputs(QJsonDocument(report).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

// What the attacker did, a line for the row to read.
void tell(const QString& what) {
    std::puts(qPrintable(what));
    std::fflush(stdout);
}

// The second user, run as nobody: waits in `folder` for what the job makes there, moves it away
// and puts something of its own in its place, and says each step it took.
int attack(const QString& kind, const QString& folder, const QString& victim) {
    tell(QStringLiteral("watching"));
    const QStringList made{kind == "beside" || kind == "appear" ? ".blendora-*" : "blendora-job-*"};
    QElapsedTimer clock;
    clock.start();
    QString taken;
    const QByteArray evil = "#!/bin/sh\necho pwned >'" + QFile::encodeName(victim) + "'\nexit 1\n";
    while (clock.elapsed() < 30000) {
        for (const QString& name :
             QDir(folder).entryList(made, QDir::AllEntries | QDir::Hidden | QDir::System)) {
            if (!taken.isEmpty())
                break;
            const QString at = folder + "/" + name;
            if (kind == "beside" || kind == "appear")
                QThread::msleep(300); // into the save's rename
            if (kind == "appear") {
                test::writeAll(folder + "/mixed.mp3", "a newer mix\n");
                if (QFileInfo::exists(at))
                    tell("wrote a newer mixed.mp3 while " + name + " stood");
                return 0;
            }
            if (!QFile::rename(at, folder + "/moved " + name))
                continue;
            tell("moved " + name);
            taken = at;
            if (kind == "folder" || kind == "beside") {
                if (QFile::link(victim, at))
                    tell("linked " + name + " to the victim");
                return 0;
            }
            if (QDir().mkdir(at) && ::chmod(QFile::encodeName(at).constData(), 0777) == 0)
                tell("made a folder of its own at " + name);
            if (kind == "wav") {
                if (QFile::link(victim, at + "/temp2.wav"))
                    tell("linked temp2.wav to the victim");
                return 0;
            }
        }
        // Whatever the job writes as its encoder, ours takes its place.
        struct stat st;
        const QByteArray lame = QFile::encodeName(taken + "/lame");
        if (!taken.isEmpty() && (::lstat(lame.constData(), &st) != 0 || st.st_uid != ::getuid())) {
            ::unlink(lame.constData());
            test::writeAll(taken + "/lame", evil);
            if (::chmod(lame.constData(), 0755) == 0)
                tell(QStringLiteral("put its own lame in the job folder"));
        }
        QThread::usleep(500);
    }
    return 0;
}

// ---- the children of the settings and closing rows --------------------------------------

QJsonArray promptsJson(const ScriptedPrompts& prompts) {
    QJsonArray seen;
    for (const Prompt& p : prompts.seen)
        seen.append(QJsonObject{{"kind", int(p.kind)}, {"text", p.text}, {"caption", p.caption}});
    return seen;
}

// Starts the window over whatever settings there are and types into both fields; lingering,
// it goes on running after its report until a line comes on standard input.
int typeIntoFields(bool linger) {
    setProgramFolderForTesting(QDir::currentPath());
    ScriptedPrompts prompts;
    test::RecordingShell shell;
    Form1 form(Form1Seams{&prompts, &shell, nullptr, [] { return 0.5; }, [] {}});
    if (!form.Form_Load())
        return 2;
    form.show();
    QTest::keyClicks(form.Text1, "ab");
    QTest::keyClicks(form.Text2, "c");
    const QJsonObject report{{"prompts", promptsJson(prompts)},
                             {"text1", form.Text1->text()},
                             {"text2", form.Text2->text()}};
    std::puts(QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    if (linger) {
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            return 3;
        // The window stores what was typed once the lock is free: until then it runs on.
        const QString file = qEnvironmentVariable("XDG_CONFIG_HOME") + "/Quorvane.ini";
        for (int i = 0; i < 1000; ++i) {
            const QByteArray stored = test::readAll(file);
            if (stored.contains("Text1=ab\n") && stored.contains("Text2=c\n"))
                break;
            QTest::qWait(10);
        }
    }
    return 0;
}

// Writes `key` `count` times, each time a new value, as typing does, and reads it back: another
// copy that wrote its own key over a stale file would have put an older value back.
int writeSetting(const QString& key, int count) {
    takeOverSignals();
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        // The window tries again later when the other copy is slow to let go; so does this.
        for (bool stored = false; !stored;) {
            try {
                SaveSetting(kMakerName, kProductTitle, key, key + QString::number(i));
                stored = true;
            } catch (const LockBusy&) {
            }
        }
        lost += GetSetting(kMakerName, kProductTitle, key) != key + QString::number(i);
    }
    std::printf("%d\n", lost);
    return 0;
}

// Mixes two files, the first of which must be converted, and asks the window to close once the
// converted copy is under way, as a person would; the copy's size once the close is asked, and
// the time, go to standard output. Closing ends the program, so coming back from the job is a
// failure.
int closeDuringConversion(const QString& one, const QString& two, const QString& out) {
    setProgramFolderForTesting(QDir::currentPath());
    ScriptedPrompts prompts;
    test::RecordingShell shell;
    Form1 form(Form1Seams{&prompts, &shell, nullptr, [] { return 0.5; }, {}});
    if (!form.Form_Load())
        return 2;
    form.Text1->setText(one);
    form.Text2->setText(two);
    prompts.files << out;
    form.show();
    std::atomic<bool> stop{false};
    std::thread watcher([&] {
        const QDir temp(temporaryFolder());
        const QStringList pattern{
            QStringLiteral("blendora-job-%1-*").arg(QCoreApplication::applicationPid())};
        while (!stop) {
            for (const QString& job : temp.entryList(pattern, QDir::Dirs)) {
                const QString copy = temp.filePath(job) + "/result.wav.conv1.wav";
                if (QFileInfo(copy).size() > (1 << 20)) {
                    const qint64 asked = monotonicMs();
                    QMetaObject::invokeMethod(
                        &form, [&form] { form.close(); }, Qt::QueuedConnection);
                    // Read after asking: whatever is converted later, the close could stop.
                    std::printf("%lld %lld\n", QFileInfo(copy).size(), asked);
                    std::fflush(stdout);
                    return;
                }
            }
            ::usleep(2000);
        }
    });
    form.PushButton2_Click();
    stop = true;
    watcher.join();
    std::puts("the job ran to its end");
    return 3;
}

} // namespace

qint64 monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int runChild(int argc, char** argv) {
    if (argc == 6 && QByteArray(argv[1]) == "--job")
        return runJob(QFile::decodeName(argv[2]), QFile::decodeName(argv[3]),
                      QFile::decodeName(argv[4]), QFile::decodeName(argv[5]));
    if (argc == 5 && QByteArray(argv[1]) == "--attack")
        return attack(argv[2], QFile::decodeName(argv[3]), QFile::decodeName(argv[4]));
    if (argc >= 2 && QByteArray(argv[1]) == "--type")
        return typeIntoFields(argc == 3);
    if (argc == 4 && QByteArray(argv[1]) == "--write")
        return writeSetting(QString::fromLatin1(argv[2]), QByteArray(argv[3]).toInt());
    if (argc == 5 && QByteArray(argv[1]) == "--close")
        return closeDuringConversion(QFile::decodeName(argv[2]), QFile::decodeName(argv[3]),
                                     QFile::decodeName(argv[4]));
    return -1;
}

// ---- files the rows are made of ----------------------------------------------------------

// What a made file should sound like; a zero field is not checked.
QStringList soundProblems(const QString& path, const Sound& want) {
    ChannelInfo info;
    const QVector<qint16> s = decode(path, &info);
    if (s.isEmpty() || info.chans == 0)
        return {QStringLiteral("the output is no MP3 that decodes")};
    QStringList problems;
    if (info.chans > 2 || info.freq < 8000 || info.freq > 48000)
        problems
            << QStringLiteral("the output has %1 channels at %2 Hz").arg(info.chans).arg(info.freq);
    const double seconds = double(s.size()) / info.chans / info.freq;
    if (want.seconds > 0 && std::abs(seconds - want.seconds) > 0.12)
        problems
            << QStringLiteral("the output lasts %1 s, not %2 s").arg(seconds).arg(want.seconds);
    if (want.level > 0) {
        int peak = 0;
        for (qint16 v : s)
            peak = std::max(peak, std::abs(int(v)));
        if (std::abs(peak / 32768.0 - want.level) > 0.08)
            problems << QStringLiteral("the output peaks at %1, not %2")
                            .arg(peak / 32768.0)
                            .arg(want.level);
        // Crossings with a margin, so that coding noise near zero is not counted: wrapped
        // samples or noise cross far more often than the tone.
        const int margin = 1600;
        int crossings = 0, side = 0;
        for (qsizetype i = 0; i < s.size(); i += info.chans) {
            const int now = s[i] > margin ? 1 : s[i] < -margin ? -1 : 0;
            if (now != 0 && now != side) {
                crossings += side != 0;
                side = now;
            }
        }
        const double frequency = crossings / 2.0 / seconds;
        if (std::abs(frequency - want.frequency) > want.frequency * 0.05)
            problems << QStringLiteral("the output sounds at %1 Hz, not %2 Hz")
                            .arg(frequency)
                            .arg(want.frequency);
    }
    return problems;
}

// What is at a path: its kind and, for a file, its bytes; for a folder, its entries.
Snapshot snapshot(const QString& path) {
    Snapshot s;
    struct stat st;
    if (::lstat(nativePath(path).constData(), &st) != 0)
        return s;
    if (S_ISREG(st.st_mode)) {
        s.kind = Snapshot::File;
        s.bytes = test::readAll(path);
    } else if (S_ISDIR(st.st_mode)) {
        s.kind = Snapshot::Folder;
        s.entries = QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                         QDir::System);
    } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        s.kind = Snapshot::Device;
        s.device = st.st_rdev;
    } else {
        s.kind = Snapshot::Other;
    }
    return s;
}

void giveTo(const QString& folder, uid_t user) {
    ::lchown(nativePath(folder).constData(), user, user);
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        ::lchown(nativePath(it.next()).constData(), user, user);
}

// Waits for a file the job makes; false when the job ended first or a minute passed.
bool waitFor(QProcess& job, const QString& file) {
    for (int i = 0; i < 3000 && !QFile::exists(file); ++i)
        if (job.waitForFinished(20))
            return false;
    return QFile::exists(file);
}

// Waits until the job decodes its first input; false when it ended first or a minute passed.
bool decoding(const QString& temp, QProcess& job) {
    for (int i = 0; i < 6000 && !job.waitForFinished(10); ++i)
        for (const QString& folder : QDir(temp).entryList({"blendora-job-*"}, QDir::Dirs))
            if (QFile::exists(temp + "/" + folder + "/temp1.wav"))
                return true;
    return false;
}

// Waits up to two seconds for a process to be gone, or a zombie that holds nothing any more;
// true when it is.
bool ended(qint64 pid) {
    const QString stat = QStringLiteral("/proc/%1/stat").arg(pid);
    const auto over = [&] { return !QFile::exists(stat) || test::readAll(stat).contains(") Z"); };
    for (int i = 0; i < 100 && !over(); ++i)
        QTest::qWait(20);
    return over();
}

// A WAV header that declares `bytes` of 16-bit sound, followed by that many zero bytes that
// take no disk: the engine decodes them like any others.
QString sparseWave(const QString& path, int rate, int channels, qint64 bytes) {
    QByteArray header =
        test::waveBytes({}, {.rate = rate, .channels = channels, .declared = bytes});
    qToLittleEndian<quint32>(quint32(36 + bytes), header.data() + 4);
    test::writeAll(path, header);
    if (::truncate(nativePath(path).constData(), 44 + bytes) != 0)
        return QString();
    return path;
}

// ---- the rows --------------------------------------------------------------------------

bool traceSaver(Place& p, QProcess& tracer, const QString& calls, const QStringList& injected) {
    // The encoder makes the file before it writes its number in.
    QString supervisor;
    for (int i = 0; i < 500 && supervisor.isEmpty(); ++i, QTest::qWait(10))
        supervisor = QString::fromLatin1(test::readAll(p.root + "/supervisor").trimmed());
    QStringList arguments{"-qq", "-o", "/dev/null", "-p", supervisor, "-e", "trace=" + calls};
    for (const QString& injection : injected)
        arguments << "-e" << injection;
    tracer.start("strace", arguments);
    tracer.waitForStarted();
    // Held only once strace is attached, however busy the machine is.
    const auto held = [status = "/proc/" + supervisor + "/status"] {
        const QByteArray now = test::readAll(status);
        return now.contains("TracerPid:\t") && !now.contains("TracerPid:\t0\n");
    };
    for (int i = 0; i < 500 && !held(); ++i)
        QTest::qWait(20);
    QTest::qWait(100);
    test::writeAll(p.root + "/go", {});
    return held();
}

// An encoder that leaves a mark in the row's folder, then encodes.
const QString kMarkedLame =
    QStringLiteral("#!/bin/sh\necho ran >\"$ROW/marked\"\nexec '%1' \"$@\"\n")
        .arg(QStringLiteral(BLENDORA_LAME));

// The job in a PID namespace whose kernel refuses to run anonymous files, and optionally in a
// mount namespace without the installed lame.
QStringList hardened(bool withoutLame) {
    const QString lame = QFileInfo(QStringLiteral(BLENDORA_LAME)).canonicalFilePath();
    return {"unshare",
            "-pf",
            "--mount-proc",
            "sh",
            "-c",
            "echo 2 >/proc/sys/vm/memfd_noexec && " +
                (withoutLame ? "mount --bind /dev/null '" + lame + "' && " : QString()) +
                "exec \"$@\"",
            "sh"};
}

QString Place::put(const QString& name, const QByteArray& bytes) {
    const QString path = in + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    test::writeAll(path, bytes);
    return path;
}

QString Place::copy(const QString& name, const QString& from) {
    return put(name, test::readAll(from));
}

QString Place::wav(const QString& name, int rate, int channels, double seconds, double amplitude,
                   Pcm pcm) {
    return put(name, test::toneWave(rate, channels, seconds, 440, amplitude, pcm));
}

void Place::mountTmpfs(const QString& folder, const char* options, unsigned long flags) {
    if (::geteuid() != 0) {
        skip = QStringLiteral("mounting a tmpfs needs root");
        return;
    }
    if (::mount("tmpfs", nativePath(folder).constData(), "tmpfs", flags, options) != 0) {
        skip = QStringLiteral("this machine does not allow mounting a tmpfs: ") +
               QString::fromLocal8Bit(strerror(errno));
        return;
    }
    undo.push_back([folder] { ::umount2(nativePath(folder).constData(), MNT_DETACH); });
}

void Place::fill(const QString& folder) {
    QFile filler(folder + "/filler");
    filler.open(QIODevice::WriteOnly);
    const QByteArray block(4096, 'f');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
    struct statvfs disk;
    if (::statvfs(nativePath(folder).constData(), &disk) == 0 && disk.f_bavail == 0)
        did << QStringLiteral("filled ") + folder;
}

QStringList ranMarked(Place& p, const QString& said) {
    QStringList problems;
    if (said != kDone)
        problems << "expected \"Done.\": " + said;
    if (!QFile::exists(p.root + "/marked"))
        problems << QStringLiteral("the program's own encoder did not run");
    return problems + soundProblems(p.out + "/mixed.mp3", {2.0, 0, 0});
}

// For a job that ended before its end: nothing of it beside the output.
QStringList nothingOut(Place& p, const QString&) {
    const QStringList left =
        QDir(p.out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    return left.isEmpty() ? QStringList()
                          : QStringList{"left beside the output: " + left.join(", ")};
}

QStringList leftAtOutput(Place& p, const QStringList& names, Snapshot::Kind kind) {
    QStringList problems;
    const QStringList all = QDir(p.out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                  QDir::Hidden | QDir::System);
    if (all != names)
        problems << "the output folder holds " + all.join(", ");
    const QString out = p.out + "/mixed.mp3";
    if (snapshot(out).kind != kind)
        problems
            << QStringLiteral("the output is of kind %1, not %2").arg(snapshot(out).kind).arg(kind);
    else if (kind == Snapshot::File && test::readAll(out) != "a newer mix\n")
        problems << soundProblems(out, {2.0, 0, 0});
    return problems;
}

// ---- the suite ------------------------------------------------------------------------

namespace {

// What the row's job is given: its two fields, the save dialog's answer and the encoder.
struct JobInput {
    QString one, two, out, encoder;
};

// The row's own folders and environment, its inputs and encoder, as the row asks for them;
// a reason to skip in `place.skip`.
JobInput setUp(const Row& row, Place& place, uid_t user) {
    place.in = place.root + "/in";
    place.out = place.root + "/out";
    place.temp = place.root + "/temp";
    place.cwd = place.root;
    for (const QString& folder : {place.in, place.out, place.temp, place.root + "/config",
                                  place.root + "/runtime", place.root + "/home"})
        if (!QDir().mkpath(folder)) {
            QTest::qFail(qPrintable("cannot make " + folder), __FILE__, __LINE__);
            return {};
        }
    QFile::setPermissions(place.root + "/runtime",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    place.env = QProcessEnvironment::systemEnvironment();
    place.env.remove("TEMP");
    place.env.remove("TMPDIR");
    place.env.insert("TEMP", place.temp);
    place.env.insert("XDG_CONFIG_HOME", place.root + "/config");
    place.env.insert("XDG_RUNTIME_DIR", place.root + "/runtime");
    place.env.insert("HOME", place.root + "/home");
    place.env.insert("QT_QPA_PLATFORM", "offscreen");
    place.tempFolders << place.temp;

    JobInput job;
    job.one = row.one ? row.one(place) : place.copy("first.mp3", place.files.toneA);
    job.two = row.two ? row.two(place) : place.copy("second.mp3", place.files.toneB);
    job.out = row.out ? row.out(place) : place.out + "/mixed.mp3";
    if (row.existing && snapshot(job.out).kind == Snapshot::None)
        test::writeAll(job.out, QByteArray("an earlier mix, to be kept as it is\n").repeated(100));
    if (row.setup)
        row.setup(place);
    if (!row.encoder.isEmpty()) {
        job.encoder = place.root + "/encoder";
        test::writeAll(job.encoder, row.encoder.toUtf8());
    }
    if (user)
        giveTo(place.root, user);
    for (const auto& step : place.lastly)
        step();
    if ((row.strace || place.wrapper.value(0) == "strace") &&
        QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        place.skip = QStringLiteral("strace stages this row's race: it is not installed");
    return job;
}

// What came of the job's process.
struct JobEnd {
    qint64 pid = 0;
    bool ended = false; // the row's hook ended it
    bool finished = false;
    QProcess::ExitStatus status = QProcess::NormalExit;
    int code = 0;
    QByteArray said, errors;
};

// Runs the job, as the row's user and under its wrapper, with the row's hook while it runs;
// the attacker's words join `place.did`.
JobEnd launch(const Row& row, Place& place, const JobInput& job, uid_t user,
              const QString& setpriv) {
    QProcess child;
    child.setProcessEnvironment(place.env);
    child.setWorkingDirectory(place.cwd);
    QStringList arguments{"--job", job.one, job.two, job.out, job.encoder};
    if (!place.wrapper.isEmpty()) {
        arguments.prepend(QCoreApplication::applicationFilePath());
        arguments = place.wrapper.mid(1) + arguments;
    }
    if (user) {
        if (place.wrapper.isEmpty())
            arguments.prepend(QCoreApplication::applicationFilePath());
        else
            arguments.prepend(place.wrapper.first());
        arguments = QStringList{QStringLiteral("--reuid=%1").arg(user),
                                QStringLiteral("--regid=%1").arg(user), "--clear-groups", "--"} +
                    arguments;
        child.start(setpriv, arguments);
    } else if (!place.wrapper.isEmpty()) {
        child.start(place.wrapper.first(), arguments);
    } else {
        child.start(QCoreApplication::applicationFilePath(), arguments);
    }
    JobEnd end;
    if (!child.waitForStarted()) {
        QTest::qFail("the job did not start", __FILE__, __LINE__);
        return end;
    }
    end.pid = child.processId();
    end.ended = row.during && row.during(place, child);
    end.finished = child.state() == QProcess::NotRunning || child.waitForFinished(120000);
    if (!end.finished) {
        child.kill();
        child.waitForFinished();
    }
    end.status = child.exitStatus();
    end.code = child.exitCode();
    end.said = child.readAllStandardOutput();
    end.errors = child.readAllStandardError();
    if (place.attacker) {
        place.attacker->kill();
        place.attacker->waitForFinished();
        for (const QByteArray& line : place.attacker->readAllStandardOutput().split('\n'))
            if (!line.isEmpty() && line != "watching")
                place.did << "attacker: " + QString::fromLocal8Bit(line);
    }
    return end;
}

using Problems = QMap<QString, QStringList>;

// The job's messages, as the row expects them; the prompts seen, for the checks after.
QList<Prompt> judgeMessages(const Row& row, Place& place, const JobEnd& end, Problems& problems,
                            bool& done) {
    if (!end.finished)
        problems["crash"] << QStringLiteral("the job did not end within two minutes");
    else if (!end.ended && (end.status != QProcess::NormalExit || end.code != 0))
        problems["crash"] << QStringLiteral("the job ended with status %1, code %2: %3")
                                 .arg(end.status)
                                 .arg(end.code)
                                 .arg(QString::fromLocal8Bit(end.errors.right(2000)));
    const QJsonObject report = QJsonDocument::fromJson(end.said).object();
    for (const QJsonValue& v : report["did"].toArray())
        place.did << "job: " + v.toString();
    if (end.said.startsWith("exit while decoding"))
        place.did << QStringLiteral("job: exit while decoding");
    // The attack took place, in the words of whoever made it.
    const QString did = place.did.join(QStringLiteral("; "));
    if (!row.attack.isEmpty() && !did.contains(row.attack))
        problems["attack"] << "it did not take place (" + row.attack + "), only: " + did;
    else if (row.during && place.did.isEmpty())
        problems["attack"] << QStringLiteral("the row's hook did nothing to the job");
    QList<Prompt> seen;
    for (const QJsonValue& v : report["prompts"].toArray()) {
        const QJsonObject p = v.toObject();
        seen << Prompt{
            Prompt::Kind(p["kind"].toInt()), p["text"].toString(), p["caption"].toString(), {}};
    }

    QStringList texts;
    for (const Prompt& p : seen)
        texts << p.text;
    const QString heard = texts.join(QStringLiteral(" | ")).replace('\r', "\\r");
    const Prompt last = seen.isEmpty() ? Prompt{Prompt::Message, {}, {}, {}} : seen.last();
    done = false;
    if (end.ended) {
    } else if (seen.isEmpty()) {
        problems["message"] << QStringLiteral("nothing was said");
    } else if (row.expect == kNoFile) {
        const QString reason = last.text.section(QStringLiteral("\r\r"), 1);
        if (last.kind != Prompt::Warning || !last.text.startsWith(kNoFile + "\r\r") ||
            reason.trimmed().isEmpty())
            problems["message"] << "expected a warning that no file was made: " + heard;
        else
            for (const QString& part : QString(row.reason).replace("$TEMP", place.temp).split('|'))
                if (!reason.contains(part, Qt::CaseInsensitive))
                    problems["message"] << "the reason does not mention \"" + part + "\": " + heard;
    } else if (last.kind != Prompt::Message || last.text != row.expect) {
        problems["message"] << "expected \"" + row.expect + "\": " + heard;
    } else {
        done = last.text == kDone;
    }
    if (!seen.isEmpty() && last.caption != QStringLiteral("Blendora"))
        problems["message"] << "the last box is captioned " + last.caption;
    // A condition of the machine is no fault of ours: told once, by the last box, and never
    // as an error report.
    for (qsizetype i = 0; row.plain && i + 1 < seen.size(); ++i)
        if (seen[i].kind != Prompt::Save &&
            (seen[i].caption == QStringLiteral("Application Error") ||
             last.text.contains(seen[i].text.section(QStringLiteral("\r\n"), 0, 0))))
            problems["message"] << "told twice or as a fault: " + heard;
    // One failure is explained once: at most one box before the last.
    if (!seen.isEmpty() && seen.size() - (seen.first().kind == Prompt::Save) > 2)
        problems["message"] << QStringLiteral("%1 boxes for one job: ").arg(seen.size()) + heard;
    return seen;
}

// What the job left: no job folder anywhere, and at the output the mix, or what stood there.
// Answers whether an existing output was damaged and whether a partial one was left.
std::pair<bool, bool> judgeFiles(const Row& row, Place& place, const JobEnd& end,
                                 const QList<Prompt>& seen, bool done, const QString& out,
                                 const Snapshot& before, const Snapshot& folderBefore,
                                 Problems& problems) {
    for (const QString& temp : place.tempFolders + QStringList{"/tmp", place.cwd}) {
        const QString mine = temp == "/tmp" ? QStringLiteral("blendora-job-%1-").arg(end.pid)
                                            : QStringLiteral("blendora-job-");
        for (const QString& e : QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                     QDir::Hidden | QDir::System))
            if (e.startsWith(mine))
                problems["leftovers"] << temp + "/" + e;
    }

    const QString folder = QFileInfo(out).absolutePath();
    const Snapshot after = snapshot(out);
    Snapshot folderExpected = folderBefore;
    bool damaged = false, partial = false;
    if (row.check) {
        place.said.clear();
        for (const Prompt& p : seen)
            place.said << p.text;
        place.errors = end.errors;
        problems["output"] << row.check(place, seen.isEmpty() ? QString() : seen.last().text);
    } else if (done) {
        if (after.kind != Snapshot::File)
            problems["output"] << QStringLiteral("\"Done.\" but no output file");
        else
            problems["sound"] << soundProblems(out, row.sound);
        if (before.kind == Snapshot::None)
            folderExpected.entries << QFileInfo(out).fileName();
    } else if (!(after == before)) {
        problems["output"] << (before.kind == Snapshot::None
                                   ? QStringLiteral("a failed job left an output file")
                                   : QStringLiteral("a failed job changed the existing output"));
        (before.kind == Snapshot::None ? partial : damaged) = true;
    }
    Snapshot folderAfter = snapshot(folder);
    folderAfter.entries.sort();
    folderExpected.entries.sort();
    if (!row.check && folderAfter.entries != folderExpected.entries) {
        problems["output"] << "the output folder holds " + folderAfter.entries.join(", ") +
                                  "; expected " + folderExpected.entries.join(", ");
        partial = true;
    }
    return {damaged, partial};
}

} // namespace

void Suite::run() {
    QFETCH(Row, row);
    const uid_t user = row.nobody ? kNobody : row.as;
    if ((user || row.root) && ::geteuid() != 0)
        FAULT_SKIP("this row runs as or plants for another user: only root can");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (user && setpriv.isEmpty())
        FAULT_SKIP("setpriv is needed to run a job as user nobody");

    Place place{files_};
    place.root = base_.path() + QStringLiteral("/row%1").arg(++rowNumber_);
    const auto undo = qScopeGuard([&] {
        for (auto it = place.undo.rbegin(); it != place.undo.rend(); ++it)
            (*it)();
    });
    const JobInput job = setUp(row, place, user);
    if (QTest::currentTestFailed())
        return;
    if (!place.skip.isEmpty())
        FAULT_SKIP(qPrintable(place.skip));
    const Snapshot before = snapshot(job.out);
    const Snapshot folderBefore = snapshot(QFileInfo(job.out).absolutePath());

    const JobEnd end = launch(row, place, job, user, setpriv);
    if (QTest::currentTestFailed())
        return;

    // Every check runs, whatever an earlier one found, so that the figures are whole.
    Problems problems;
    bool done = false;
    const QList<Prompt> seen = judgeMessages(row, place, end, problems, done);
    const auto [damaged, partial] =
        judgeFiles(row, place, end, seen, done, job.out, before, folderBefore, problems);
    ++rows_;
    damaged_ += damaged;
    partial_ += partial;
    crashes_ += !problems["crash"].isEmpty();
    leftovers_ += !problems["leftovers"].isEmpty();

    // Everything found at once.
    QStringList found;
    for (auto it = problems.cbegin(); it != problems.cend(); ++it)
        if (!it.value().isEmpty())
            found << it.key() + ": " + it.value().join("; ");
    QVERIFY2(found.isEmpty(), qPrintable(found.join("\n")));
}

void Suite::startWriter(QProcess& child, const QString& root, const QStringList& arguments,
                        const QString& program) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", root + "/config");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(env);
    child.start(program, arguments);
    QVERIFY(child.waitForStarted());
}

void Suite::initTestCase() {
    QVERIFY(base_.isValid());
    // Rows run as nobody reach their own folders through this one.
    QFile::setPermissions(base_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ExeGroup | QFile::ExeOther);
    if (!makesFiles_)
        return;
    const QString made = base_.path() + "/files";
    QDir().mkpath(made);
    files_.toneA = test::makeToneMp3(made, "toneA", 44100, 2, 2.0, 440);
    files_.toneB = test::makeToneMp3(made, "toneB", 44100, 2, 2.0, 660);
    files_.longA = test::makeToneMp3(made, "longA", 44100, 2, 3.0, 440);
    files_.longB = test::makeToneMp3(made, "longB", 44100, 2, 3.0, 660);
    files_.shortSilence = test::makeToneMp3(made, "silence", 44100, 2, 0.5, 440, 0.0);
    for (const QString& f :
         {files_.toneA, files_.toneB, files_.longA, files_.longB, files_.shortSilence})
        QVERIFY(!f.isEmpty());
}

void Suite::cleanupTestCase() {
    qInfo("rows %d, crashes %d, job folders left %d, existing outputs damaged %d, partial "
          "outputs left %d",
          rows_, crashes_, leftovers_, damaged_, partial_);
}
void Suite::runSettings() {
    QFETCH(std::function<QString(Place&)>, setup);
    QFETCH(bool, nobody);
    QFETCH(QString, stored);
    QFETCH(bool, atStart);
    QFETCH(AfterFiles, after);
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    // Rows named as attacks plant for another user.
    const bool attack = QByteArray(QTest::currentDataTag()).startsWith("attack:");
    if ((nobody || attack) && ::geteuid() != 0)
        FAULT_SKIP("this row runs as or plants for another user: only root can");
    if (nobody && setpriv.isEmpty())
        FAULT_SKIP("setpriv is needed to run a row as user nobody");
    Place place{files_};
    place.root = base_.path() + QStringLiteral("/settings%1").arg(++rowNumber_);
    QVERIFY(QDir().mkpath(place.root + "/config"));
    QVERIFY(QDir().mkpath(place.root + "/home"));
    place.env = QProcessEnvironment::systemEnvironment();
    place.env.insert("XDG_CONFIG_HOME", place.root + "/config");
    place.env.insert("HOME", place.root + "/home");
    place.env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString file = setup(place);
    if (nobody)
        giveTo(place.root, kNobody);
    for (const auto& step : place.lastly)
        step();
    // The planted link or folder stands when the window starts, as its planter says.
    QVERIFY2(!attack || !place.did.isEmpty(), "the row's attack was not staged");

    QProcess child;
    child.setProcessEnvironment(place.env);
    child.setWorkingDirectory(place.root);
    const QStringList arguments{"--type"};
    if (place.wrapper.value(0) == "strace" &&
        QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
        FAULT_SKIP("strace stages this row's fault: it is not installed");
    if (nobody)
        child.start(setpriv, QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                         QCoreApplication::applicationFilePath()} +
                                 arguments);
    else if (!place.wrapper.isEmpty())
        child.start(place.wrapper.first(),
                    place.wrapper.mid(1) << QCoreApplication::applicationFilePath() << arguments);
    else
        child.start(QCoreApplication::applicationFilePath(), arguments);
    QVERIFY(child.waitForFinished(60000));
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             child.readAllStandardError().right(2000).constData());
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        const QString at = place.root + "/" + it.key();
        QVERIFY2(it.value().isNull() ? !QFileInfo::exists(at)
                                     : QFileInfo::exists(at) && test::readAll(at) == it.value(),
                 qPrintable(at + " is not as it should be"));
    }
    const QJsonObject report = QJsonDocument::fromJson(child.readAllStandardOutput()).object();
    QCOMPARE(report["text1"].toString(), stored + "ab");
    QCOMPARE(report["text2"].toString(), (stored.isEmpty() ? QString() : "/b.mp3") + "c");
    const QJsonArray seen = report["prompts"].toArray();
    // A row that names no file has nothing to be told.
    QVERIFY2(seen.size() == (file.isEmpty() ? 0 : 1), QJsonDocument(seen).toJson().constData());
    if (file.isEmpty())
        return;
    const QJsonObject message = seen[0].toObject();
    // A file kept aside is told at start, before any key; a write fails at a key typed, and is
    // told without taking the keys after it.
    const bool keptAside = message["text"].toString().contains("Blendora kept it as");
    QCOMPARE(message["kind"].toInt(), int(atStart     ? Prompt::Warning
                                          : keptAside ? Prompt::Message
                                                      : Prompt::Notice));
    QVERIFY2(message["text"].toString().contains(
                 QRegularExpression("^(Run-time error.*\\r\\r)?The settings file " +
                                    QRegularExpression::escape(file) + " ")),
             qPrintable(message["text"].toString()));
    if (!atStart)
        QCOMPARE(message["caption"].toString(), QStringLiteral("Blendora"));
}

} // namespace blendora::faults
