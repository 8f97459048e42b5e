// Whole mix jobs over bad inputs, odd paths and a hostile environment. Each row runs one job in
// a child process of its own, so that a crash or a hang is a finding rather than the end of the
// suite, and so that rows can run as another user. Every row must end without a crash, with a
// clear last message, without a job folder left behind and without a partial or damaged output.
#include "AudioEngine.h"
#include "Form1.h"
#include "JobFolder.h"
#include "Leftovers.h"
#include "MixJob.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "Settings.h"
#include "TestSupport.h"
#include "WorkFolder.h"

#include <QDirIterator>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

using namespace blendora;
using blendora::test::decode;
using blendora::test::Prompt;
using blendora::test::ScriptedPrompts;

namespace {

const QString kDone = QStringLiteral("Done.");
const QString kNoFile = QStringLiteral("No mixed file was made.");
constexpr uid_t kNobody = 65534;
constexpr uid_t kOther = 4321; // an ordinary user without a name
const QByteArray kSecret("only its owner may read this\n");

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
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString pattern =
            QStringLiteral("blendora-job-%1-*").arg(QCoreApplication::applicationPid());
        const QDir temp(temporaryFolder());
        for (const QString& job : temp.entryList({pattern}, QDir::Dirs | QDir::NoDotAndDotDot)) {
            if (exitWhileDecoding && QFile::exists(temp.filePath(job) + "/temp1.wav"))
                std::exit(1);
            if (!plant.isEmpty() && QFile::exists(temp.filePath(job) + "/temp1.wav") &&
                QFile::link(plant, out)) {
                ::lchown(nativePath(out).constData(), kNobody, kNobody);
                plant.clear();
            }
        }
    });
    watch.start(0);
    form.PushButton2_Click();
    watch.stop();
    form.Form_QueryUnload();

    QJsonArray seen;
    for (const Prompt& p : prompts.seen)
        seen.append(QJsonObject{{"kind", int(p.kind)}, {"text", p.text}, {"caption", p.caption}});
    const QJsonObject report{{"prompts", seen}};
    std::fputs(QJsonDocument(report).toJson(QJsonDocument::Compact).constData(), stdout);
    return 0;
}

// The second user, run as nobody: waits in `folder` for what the job makes there, moves it away
// and puts something of its own in its place.
int attack(const QString& kind, const QString& folder, const QString& victim) {
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
                return 0;
            }
            if (!QFile::rename(at, folder + "/moved " + name))
                continue;
            taken = at;
            if (kind == "folder" || kind == "beside") {
                QFile::link(victim, at);
                return 0;
            }
            QDir().mkdir(at);
            ::chmod(QFile::encodeName(at).constData(), 0777);
            if (kind == "wav") {
                QFile::link(victim, at + "/temp2.wav");
                return 0;
            }
        }
        // Whatever the job writes as its encoder, ours takes its place.
        struct stat st;
        const QByteArray lame = QFile::encodeName(taken + "/lame");
        if (!taken.isEmpty() && (::lstat(lame.constData(), &st) != 0 || st.st_uid != ::getuid())) {
            ::unlink(lame.constData());
            test::writeAll(taken + "/lame", evil);
            ::chmod(lame.constData(), 0755);
        }
        QThread::usleep(500);
    }
    return 0;
}

// ---- files the rows are made of ----------------------------------------------------------

enum class Pcm { U8, S16, S24, F32 };

// A WAV file of a sine on every channel; amplitude may pass full scale for float data.
QByteArray waveBytes(int rate, int channels, double seconds, double amplitude, Pcm pcm,
                     double frequency = 440) {
    const int width = pcm == Pcm::U8 ? 1 : pcm == Pcm::S16 ? 2 : pcm == Pcm::S24 ? 3 : 4;
    const qint64 frames = qint64(std::llround(seconds * rate));
    const quint32 dataSize = quint32(frames * channels * width);
    QByteArray bytes(44 + qsizetype(dataSize), '\0');
    char* h = bytes.data();
    memcpy(h, "RIFF", 4);
    qToLittleEndian<quint32>(36 + dataSize, h + 4);
    memcpy(h + 8, "WAVEfmt ", 8);
    qToLittleEndian<quint32>(16, h + 16);
    qToLittleEndian<quint16>(pcm == Pcm::F32 ? 3 : 1, h + 20);
    qToLittleEndian<quint16>(quint16(channels), h + 22);
    qToLittleEndian<quint32>(quint32(rate), h + 24);
    qToLittleEndian<quint32>(quint32(rate * channels * width), h + 28);
    qToLittleEndian<quint16>(quint16(channels * width), h + 32);
    qToLittleEndian<quint16>(quint16(width * 8), h + 34);
    memcpy(h + 36, "data", 4);
    qToLittleEndian<quint32>(dataSize, h + 40);
    char* s = h + 44;
    for (qint64 i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * M_PI * frequency * double(i) / rate);
        for (int c = 0; c < channels; ++c, s += width) {
            switch (pcm) {
            case Pcm::U8:
                *s = char(quint8(std::lround(128 + v * 127)));
                break;
            case Pcm::S16:
                qToLittleEndian<qint16>(qint16(std::lround(v * 32767)), s);
                break;
            case Pcm::S24: {
                const qint32 w = qint32(std::lround(v * 8388607));
                s[0] = char(w & 0xff);
                s[1] = char((w >> 8) & 0xff);
                s[2] = char((w >> 16) & 0xff);
                break;
            }
            case Pcm::F32:
                qToLittleEndian<float>(float(v), s);
                break;
            }
        }
    }
    return bytes;
}

// What a made file should sound like; a zero field is not checked.
struct Sound {
    double seconds = 0;
    double level = 0; // peak, as a share of full scale
    double frequency = 0;
};

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
struct Snapshot {
    enum Kind { None, File, Folder, Device, Other } kind = None;
    QByteArray bytes;
    QStringList entries;
    dev_t device = 0;
    bool operator==(const Snapshot&) const = default;
};

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
        QTest::qWait(2500);
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

qint64 monotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Mixes two files, the first of which must be converted, and asks the window to close once the
// converted copy is under way, as a person would; the time of asking goes to standard output.
// Closing ends the program, so coming back from the job is a failure.
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
            for (const QString& job : temp.entryList(pattern, QDir::Dirs))
                if (QFileInfo(temp.filePath(job) + "/result.wav.conv1.wav").size() > (1 << 20)) {
                    std::printf("%lld\n", monotonicMs());
                    std::fflush(stdout);
                    QMetaObject::invokeMethod(
                        &form, [&form] { form.close(); }, Qt::QueuedConnection);
                    return;
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

// A WAV header that declares `bytes` of 16-bit sound, followed by that many zero bytes that
// take no disk: the engine decodes them like any others.
QString sparseWave(const QString& path, int rate, int channels, qint64 bytes) {
    QByteArray header = waveBytes(rate, channels, 0, 0, Pcm::S16);
    qToLittleEndian<quint32>(quint32(36 + bytes), header.data() + 4);
    qToLittleEndian<quint32>(quint32(bytes), header.data() + 40);
    test::writeAll(path, header);
    if (::truncate(nativePath(path).constData(), 44 + bytes) != 0)
        return QString();
    return path;
}

// ---- the rows --------------------------------------------------------------------------

// An encoder that tells who supervises it and its own number, then waits for the row's
// go-ahead before it encodes.
const QString kGatedLame = QStringLiteral("#!/bin/sh\necho $PPID >\"$ROW/supervisor\"\n"
                                          "echo $$ >\"$ROW/encoder-pid\"\n"
                                          "while [ ! -e \"$ROW/go\" ]; do sleep 0.05; done\n"
                                          "exec '%1' \"$@\"\n")
                               .arg(QStringLiteral(BLENDORA_LAME));

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

QStringList ranMarked(struct Place& p, const QString& said);

// The suite's ready-made inputs, shared read-only by every row.
struct Files {
    QString toneA, toneB; // 2 s at 440 and 660 Hz, half scale, 44.1 kHz stereo
    QString longA, longB; // the same, 3 s
    QString shortSilence; // 0.5 s
};

// One row's own folder and the child's environment.
struct Place {
    const Files& files;
    QString root{}, in{}, out{}, temp{}, cwd{};
    QProcessEnvironment env{};
    QStringList tempFolders{};                   // where a job folder could be left behind
    QString skip{};                              // why this row cannot run here
    std::vector<std::function<void()>> lastly{}; // after the folder is given to the row's user
    std::vector<std::function<void()>> undo{};
    QStringList wrapper{}; // the job runs under this command
    QStringList said{};    // every message of the job, for the row's check

    QString put(const QString& name, const QByteArray& bytes) {
        const QString path = in + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).absolutePath());
        test::writeAll(path, bytes);
        return path;
    }
    QString copy(const QString& name, const QString& from) {
        return put(name, test::readAll(from));
    }
    QString wav(const QString& name, int rate, int channels, double seconds, double amplitude,
                Pcm pcm) {
        return put(name, waveBytes(rate, channels, seconds, amplitude, pcm));
    }
    // A fresh tmpfs over the row's temporary folder.
    void mountTemp(const char* options, unsigned long flags = 0) {
        if (::geteuid() != 0) {
            skip = QStringLiteral("mounting a tmpfs needs root");
            return;
        }
        if (::mount("tmpfs", nativePath(temp).constData(), "tmpfs", flags, options) != 0) {
            skip = QStringLiteral("this machine does not allow mounting a tmpfs: ") +
                   QString::fromLocal8Bit(strerror(errno));
            return;
        }
        const QString at = temp;
        undo.push_back([at] { ::umount2(nativePath(at).constData(), MNT_DETACH); });
    }
};

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

using Maker = std::function<QString(Place&)>;
using AfterFiles = QMap<QString, QByteArray>;
using Setup = std::function<void(Place&)>;

struct Row {
    Maker one{}, two{};    // each answers the text put into its field; default: the two tones
    Maker out{};           // the save dialog's answer; default: a new file in the row's out folder
    bool existing = false; // an earlier file stands at the output
    Setup setup{};         // environment and permissions
    bool nobody = false;   // run the job as user nobody
    QString encoder{};     // script text for the encoder
    QString expect = kDone;
    QString reason{};       // words the failure's reason must contain
    bool plain = false;     // the reason is a condition of the machine, told once in plain words
    Sound sound{2.0, 0, 0}; // for a job that succeeds
    uid_t as = 0;           // run the job as this (ordinary) user
    std::function<bool(Place&, QProcess&)> during{}; // while the job runs; true: it ended the job
    // Given the last message, what is wrong with what is left; replaces the output checks.
    std::function<QStringList(Place&, const QString&)> check{};
};

} // namespace

Q_DECLARE_METATYPE(Row)

class TestFaults : public QObject {
    Q_OBJECT

    QTemporaryDir base_;
    Files files_;
    int rowNumber_ = 0;
    // The figures across all rows.
    int rows_ = 0, crashes_ = 0, leftovers_ = 0, damaged_ = 0, partial_ = 0;

    QString mp3(const QString& name, double seconds, double frequency, double amplitude) {
        const QString wav = base_.path() + "/files/" + name + ".wav";
        const QString mp3 = base_.path() + "/files/" + name + ".mp3";
        test::writeToneWav(wav, 44100, 2, seconds, frequency, amplitude);
        if (!test::run(QStringLiteral(BLENDORA_LAME), {"--quiet", "-h", wav, mp3}))
            return QString();
        QFile::remove(wav);
        return mp3;
    }

    void run() {
        QFETCH(Row, row);
        const uid_t user = row.nobody ? kNobody : row.as;
        if (user && ::geteuid() != 0)
            QSKIP("this row runs as another user, and only root can become one");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (user && setpriv.isEmpty())
            QSKIP("setpriv is needed to run a job as user nobody");

        Place place{files_};
        place.root = base_.path() + QStringLiteral("/row%1").arg(++rowNumber_);
        place.in = place.root + "/in";
        place.out = place.root + "/out";
        place.temp = place.root + "/temp";
        place.cwd = place.root;
        for (const QString& folder : {place.in, place.out, place.temp, place.root + "/config",
                                      place.root + "/runtime", place.root + "/home"})
            QVERIFY(QDir().mkpath(folder));
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
        const auto undo = qScopeGuard([&] {
            for (auto it = place.undo.rbegin(); it != place.undo.rend(); ++it)
                (*it)();
        });

        const QString one = row.one ? row.one(place) : place.copy("first.mp3", files_.toneA);
        const QString two = row.two ? row.two(place) : place.copy("second.mp3", files_.toneB);
        const QString out = row.out ? row.out(place) : place.out + "/mixed.mp3";
        if (row.existing && snapshot(out).kind == Snapshot::None)
            test::writeAll(out, QByteArray("an earlier mix, to be kept as it is\n").repeated(100));
        if (row.setup)
            row.setup(place);
        QString encoder = row.encoder;
        if (!encoder.isEmpty()) {
            encoder = place.root + "/encoder";
            test::writeAll(encoder, row.encoder.toUtf8());
        }
        if (user)
            giveTo(place.root, user);
        for (const auto& step : place.lastly)
            step();
        if (!place.skip.isEmpty())
            QSKIP(qPrintable(place.skip));

        const QString folder = QFileInfo(out).absolutePath();
        const Snapshot before = snapshot(out);
        const Snapshot folderBefore = snapshot(folder);

        QProcess child;
        child.setProcessEnvironment(place.env);
        child.setWorkingDirectory(place.cwd);
        QStringList arguments{"--job", one, two, out, encoder};
        if (!place.wrapper.isEmpty()) {
            arguments.prepend(QCoreApplication::applicationFilePath());
            arguments = place.wrapper.mid(1) + arguments;
        }
        if (user) {
            if (place.wrapper.isEmpty())
                arguments.prepend(QCoreApplication::applicationFilePath());
            else
                arguments.prepend(place.wrapper.first());
            arguments =
                QStringList{QStringLiteral("--reuid=%1").arg(user),
                            QStringLiteral("--regid=%1").arg(user), "--clear-groups", "--"} +
                arguments;
            child.start(setpriv, arguments);
        } else if (!place.wrapper.isEmpty()) {
            child.start(place.wrapper.first(), arguments);
        } else {
            child.start(QCoreApplication::applicationFilePath(), arguments);
        }
        QVERIFY(child.waitForStarted());
        const qint64 pid = child.processId();
        const bool ended = row.during && row.during(place, child);
        const bool finished =
            child.state() == QProcess::NotRunning || child.waitForFinished(120000);
        if (!finished) {
            child.kill();
            child.waitForFinished();
        }
        const QByteArray said = child.readAllStandardOutput();
        const QByteArray errors = child.readAllStandardError();

        // Every check runs, whatever an earlier one found, so that the figures are whole.
        QMap<QString, QStringList> problems;
        if (!finished)
            problems["crash"] << QStringLiteral("the job did not end within two minutes");
        else if (!ended && (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0))
            problems["crash"] << QStringLiteral("the job ended with status %1, code %2: %3")
                                     .arg(child.exitStatus())
                                     .arg(child.exitCode())
                                     .arg(QString::fromLocal8Bit(errors.right(2000)));
        const QJsonObject report = QJsonDocument::fromJson(said).object();
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
        bool done = false;
        if (ended) {
        } else if (seen.isEmpty()) {
            problems["message"] << QStringLiteral("nothing was said");
        } else if (row.expect == kNoFile) {
            const QString reason = last.text.section(QStringLiteral("\r\r"), 1);
            if (last.kind != Prompt::Warning || !last.text.startsWith(kNoFile + "\r\r") ||
                reason.trimmed().isEmpty())
                problems["message"] << "expected a warning that no file was made: " + heard;
            else
                for (const QString& part :
                     QString(row.reason).replace("$TEMP", place.temp).split('|'))
                    if (!reason.contains(part, Qt::CaseInsensitive))
                        problems["message"]
                            << "the reason does not mention \"" + part + "\": " + heard;
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
            problems["message"] << QStringLiteral("%1 boxes for one job: ").arg(seen.size()) +
                                       heard;

        for (const QString& temp : place.tempFolders + QStringList{"/tmp", place.cwd}) {
            const QString mine = temp == "/tmp" ? QStringLiteral("blendora-job-%1-").arg(pid)
                                                : QStringLiteral("blendora-job-");
            for (const QString& e : QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                         QDir::Hidden | QDir::System))
                if (e.startsWith(mine))
                    problems["leftovers"] << temp + "/" + e;
        }

        const Snapshot after = snapshot(out);
        Snapshot folderExpected = folderBefore;
        bool damaged = false, partial = false;
        if (row.check) {
            place.said = texts;
            problems["output"] << row.check(place, last.text);
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
                                       : QStringLiteral(
                                             "a failed job changed the existing output"));
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

    void startWriter(QProcess& child, const QString& root, const QStringList& arguments,
                     const QString& program = QCoreApplication::applicationFilePath()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        child.setProcessEnvironment(env);
        child.start(program, arguments);
        QVERIFY(child.waitForStarted());
    }

  private slots:
    void initTestCase() {
        QVERIFY(base_.isValid());
        // Rows run as nobody reach their own folders through this one.
        QFile::setPermissions(base_.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ExeGroup | QFile::ExeOther);
        QDir().mkpath(base_.path() + "/files");
        files_.toneA = mp3("toneA", 2.0, 440, 0.5);
        files_.toneB = mp3("toneB", 2.0, 660, 0.5);
        files_.longA = mp3("longA", 3.0, 440, 0.5);
        files_.longB = mp3("longB", 3.0, 660, 0.5);
        files_.shortSilence = mp3("silence", 0.5, 440, 0.0);
        for (const QString& f :
             {files_.toneA, files_.toneB, files_.longA, files_.longB, files_.shortSilence})
            QVERIFY(!f.isEmpty());
    }

    void cleanupTestCase() {
        qInfo("rows %d, crashes %d, job folders left %d, existing outputs damaged %d, partial "
              "outputs left %d",
              rows_, crashes_, leftovers_, damaged_, partial_);
    }

    // The first field holds an odd file; the second 0.5 s of silence, so the made file is the
    // first one's sound at half level, as long as the first.
    void oddAudio_data() {
        QTest::addColumn<Row>("row");
        const Maker silence = [](Place& p) { return p.copy("silence.mp3", p.files.shortSilence); };
        const Sound tone{2.0, 0.25, 440};  // the 440 Hz tone at half scale, mixed at half
        const Sound strong{2.0, 0.4, 440}; // a 0.8 sine mixed at half
        auto cut = [](Place& p, const QString& name, const QString& from) {
            const QByteArray bytes = test::readAll(from);
            return p.put(name, bytes.left(bytes.size() / 2));
        };
        auto png = [](Place& p, const QString& name) {
            QImage image(64, 64, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            const QString path = p.in + "/" + name;
            image.save(path, "PNG");
            return path;
        };

        QTest::newRow("first file empty")
            << Row{.one = [](Place& p) { return p.put("empty.mp3", {}); },
                   .two = silence,
                   .expect = kNoFile,
                   .reason = "first"};
        QTest::newRow("second file empty")
            << Row{.two = [](Place& p) { return p.put("empty.mp3", {}); },
                   .expect = kNoFile,
                   .reason = "second"};
        QTest::newRow("MP3 cut in half")
            << Row{.one = [cut](Place& p) { return cut(p, "cut.mp3", p.files.toneA); },
                   .two = silence,
                   .sound = {1.0, 0.25, 440}};
        QTest::newRow("FLAC cut in half")
            << Row{.one =
                       [cut](Place& p) {
                           const QString wav = p.wav("whole.wav", 44100, 2, 2.0, 0.8, Pcm::S16);
                           const QString flac = p.in + "/whole.flac";
                           if (!test::run("sox", {wav, flac}))
                               p.skip = "sox cannot make FLAC here";
                           return cut(p, "cut.flac", flac);
                       },
                   .two = silence,
                   .sound = {1.0, 0.4, 440}};
        QTest::newRow("random bytes named .mp3") << Row{.one =
                                                            [](Place& p) {
                                                                QRandomGenerator random(20240607);
                                                                QByteArray bytes(64 * 1024, '\0');
                                                                for (char& b : bytes)
                                                                    b = char(random.bounded(256));
                                                                return p.put("noise.mp3", bytes);
                                                            },
                                                        .two = silence,
                                                        .expect = kNoFile,
                                                        .reason = "first"};
        QTest::newRow("WAV named .mp3")
            << Row{.one = [](Place& p) { return p.wav("wave.mp3", 44100, 2, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("PNG named .mp3") << Row{.one = [png](Place& p) { return png(p, "pic.mp3"); },
                                               .two = silence,
                                               .expect = kNoFile,
                                               .reason = "first"};
        QTest::newRow("WAV named .ogg")
            << Row{.one = [](Place& p) { return p.wav("wave.ogg", 44100, 2, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("PNG named .ogg") << Row{.one = [png](Place& p) { return png(p, "pic.ogg"); },
                                               .two = silence,
                                               .expect = kNoFile,
                                               .reason = "first"};
        QTest::newRow("ID3 tag claiming 256 MB before real frames")
            << Row{.one =
                       [](Place& p) {
                           const QByteArray tag("ID3\x03\x00\x00\x7f\x7f\x7f\x7f", 10);
                           return p.put("tagged.mp3", tag + test::readAll(p.files.toneA));
                       },
                   .two = silence,
                   .sound = tone};
        QTest::newRow("8-bit WAV")
            << Row{.one = [](Place& p) { return p.wav("eight.wav", 44100, 2, 2.0, 0.8, Pcm::U8); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("24-bit WAV")
            << Row{.one = [](Place& p) { return p.wav("24.wav", 44100, 2, 2.0, 0.8, Pcm::S24); },
                   .two = silence,
                   .sound = strong};
        // Beyond full scale: clipped to a flat-topped tone at half level, never wrapped.
        QTest::newRow("32-bit float WAV at 1.5 times full scale")
            << Row{.one = [](Place& p) { return p.wav("float.wav", 44100, 2, 2.0, 1.5, Pcm::F32); },
                   .two = silence,
                   .sound = {2.0, 0.5, 440}};
        QTest::newRow("6-channel WAV")
            << Row{.one = [](Place& p) { return p.wav("six.wav", 44100, 6, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("8 kHz WAV")
            << Row{.one = [](Place& p) { return p.wav("8k.wav", 8000, 1, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("192 kHz WAV")
            << Row{.one = [](Place& p) { return p.wav("192k.wav", 192000, 2, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
    }
    void oddAudio() { run(); }

    void paths_data() {
        QTest::addColumn<Row>("row");
        // Both inputs and the output under the same kind of name.
        auto named = [](const QString& one, const QString& two, const QString& out) {
            return Row{.one = [one](Place& p) { return p.copy(one, p.files.toneA); },
                       .two = [two](Place& p) { return p.copy(two, p.files.toneB); },
                       .out = [out](Place& p) { return p.out + "/" + out; }};
        };
        Row spaces = named("first song.mp3", "second  song .mp3", "mixed result.mp3");
        spaces.existing = true; // replaced by a good mix
        QTest::newRow("spaces, over an existing file") << spaces;
        QTest::newRow("quotes") << named("it's \"one\".mp3", "'two'.mp3", "\"mixed\" 'it'.mp3");
        QTest::newRow("dollar and semicolon")
            << named("$HOME;ls.mp3", "${PATH}.mp3", "$(date);rm -rf x.mp3");
        QTest::newRow("star") << named("*.mp3", "a*b?.mp3", "*.mp3");
        QTest::newRow("newline") << named("line\nbreak.mp3", "two\nlines\n.mp3", "mixed\nout.mp3");
        const QString longName = QString(246, 'n') + ".mp3";
        QTest::newRow("250-byte names") << named(longName, "x" + longName.mid(1), longName);

        Row dash{
            .one = [](Place& p) { return p.copy("-h.mp3", p.files.toneA).section('/', -1); },
            .two = [](Place& p) { return p.copy("--help.mp3", p.files.toneB).section('/', -1); },
            .out = [](Place& p) { return p.out + "/-o.mp3"; }};
        dash.setup = [](Place& p) { p.cwd = p.in; };
        QTest::newRow("leading dash, typed without a folder") << dash;

        // Ten levels of 100-byte folder names: over 1000 bytes of path.
        QString deep;
        for (int level = 0; level < 10; ++level)
            deep += "/" + QString(99, QChar('a' + level)) + "d";
        QTest::newRow("path over 1000 bytes") << Row{
            .one = [deep](Place& p) { return p.copy(deep.mid(1) + "/one.mp3", p.files.toneA); },
            .two = [deep](Place& p) { return p.copy(deep.mid(1) + "/two.mp3", p.files.toneB); },
            .out =
                [deep](Place& p) {
                    QDir().mkpath(p.out + deep);
                    return p.out + deep + "/mixed.mp3";
                }};

        QTest::newRow("output is a folder")
            << Row{.out =
                       [](Place& p) {
                           QDir().mkpath(p.out + "/box.mp3");
                           test::writeAll(p.out + "/box.mp3/inner", "kept");
                           return p.out + "/box.mp3";
                       },
                   .expect = kNoFile};
        // Root may remove device nodes, so root gets a full device of its own.
        QTest::newRow("output is a full device") << Row{
            .out =
                [](Place& p) {
                    if (::geteuid() != 0)
                        return QStringLiteral("/dev/full");
                    const QString node = p.out + "/full.mp3";
                    if (::mknod(nativePath(node).constData(), S_IFCHR | 0666, makedev(1, 7)) != 0)
                        p.skip = "this machine does not allow making a device node";
                    return node;
                },
            .expect = kNoFile};
        QTest::newRow("output read-only file (nobody)")
            << Row{.existing = true,
                   .setup =
                       [](Place& p) {
                           p.lastly.push_back([&p] {
                               QFile::setPermissions(p.out + "/mixed.mp3", QFile::ReadOwner |
                                                                               QFile::ReadGroup |
                                                                               QFile::ReadOther);
                           });
                       },
                   .nobody = true,
                   .expect = kNoFile,
                   .reason = "mixed.mp3 cannot be replaced"};
        QTest::newRow("output folder read-only (nobody)")
            << Row{.setup = [](Place& p) { p.lastly.push_back([&p] { giveTo(p.out, 0); }); },
                   .nobody = true,
                   .expect = kNoFile};
        QTest::newRow("first input is a folder") << Row{.one =
                                                            [](Place& p) {
                                                                QDir().mkpath(p.in + "/folder.mp3");
                                                                return p.in + "/folder.mp3";
                                                            },
                                                        .expect = kNoFile,
                                                        .reason = "first"};
        QTest::newRow("second input is a FIFO")
            << Row{.two =
                       [](Place& p) {
                           const QString fifo = p.in + "/pipe.mp3";
                           ::mkfifo(nativePath(fifo).constData(), 0644);
                           return fifo;
                       },
                   .expect = kNoFile,
                   .reason = "second"};
        QTest::newRow("first input unreadable (nobody)")
            << Row{.setup =
                       [](Place& p) {
                           p.lastly.push_back([&p] {
                               const QByteArray first = nativePath(p.in + "/first.mp3");
                               ::chown(first.constData(), 0, 0);
                               ::chmod(first.constData(), 0600);
                           });
                       },
                   .nobody = true,
                   .expect = kNoFile,
                   .reason = "first"};
        QTest::newRow("second input in a folder nobody may enter (nobody)")
            << Row{.two = [](Place& p) { return p.copy("locked/second.mp3", p.files.toneB); },
                   .setup =
                       [](Place& p) {
                           p.lastly.push_back([&p] {
                               giveTo(p.in + "/locked", 0);
                               ::chmod(nativePath(p.in + "/locked").constData(), 0700);
                           });
                       },
                   .nobody = true,
                   .expect = "Second mp3 file not found."};
    }
    void paths() { run(); }

    void environment_data() {
        QTest::addColumn<Row>("row");
        QTest::newRow("TEMP and TMPDIR unset")
            << Row{.setup = [](Place& p) { p.env.remove("TEMP"); }};
        QTest::newRow("TEMP unset, TMPDIR set") << Row{.setup = [](Place& p) {
            p.env.remove("TEMP");
            p.env.insert("TMPDIR", p.temp);
        }};
        QTest::newRow("TEMP missing")
            << Row{.setup = [](Place& p) { p.env.insert("TEMP", p.temp + "/gone"); },
                   .expect = kNoFile,
                   .reason = "No such file"};
        QTest::newRow("TEMP relative") << Row{.setup = [](Place& p) {
            QDir().mkpath(p.root + "/rel");
            p.env.insert("TEMP", "rel");
            p.tempFolders << p.root + "/rel";
        }};
        QTest::newRow("TEMP with spaces, quotes and a dollar") << Row{.setup = [](Place& p) {
            const QString temp = p.root + "/my 'temp' \"$HOME\"";
            QDir().mkpath(temp);
            p.env.insert("TEMP", temp);
            p.tempFolders << temp;
        }};
        QTest::newRow("TEMP a plain file") << Row{.setup =
                                                      [](Place& p) {
                                                          test::writeAll(p.root + "/plain", "x");
                                                          p.env.insert("TEMP", p.root + "/plain");
                                                      },
                                                  .expect = kNoFile,
                                                  .reason = "Not a directory"};
        QTest::newRow("TEMP read-only (nobody)")
            << Row{.setup = [](Place& p) { p.lastly.push_back([&p] { giveTo(p.temp, 0); }); },
                   .nobody = true,
                   .expect = kNoFile,
                   .reason = "Permission denied"};
        // The kernel takes ".." from where a link leads, a spelling of the path from the link's
        // own folder: the folder judged by its name is not the one opened, another user's.
        QTest::newRow("TEMP spelt through a link and '..', another user's folder")
            << Row{.setup =
                       [](Place& p) {
                           const QString theirs = p.root + "/theirs";
                           QDir().mkpath(theirs);
                           QDir().mkpath(p.root + "/private/inner");
                           QFile::link(p.root + "/private/inner", theirs + "/link");
                           p.env.insert("TEMP", theirs + "/link/..");
                           p.tempFolders << theirs << p.root + "/private";
                           p.lastly.push_back([theirs] {
                               ::chown(nativePath(theirs).constData(), kNobody, kNobody);
                               ::chmod(nativePath(theirs).constData(), 0777);
                           });
                       },
                   .expect = kNoFile,
                   .reason = "changed by someone else"};
        // 3 s inputs: the encoder and the first decoded file fit in 1 MiB, the second does not.
        QTest::newRow("TEMP on a 1 MiB tmpfs, filled while decoding") << Row{
            .one = [](Place& p) { return p.copy("first.mp3", p.files.longA); },
            .two = [](Place& p) { return p.copy("second.mp3", p.files.longB); },
            .setup = [](Place& p) { p.mountTemp("size=1m"); },
            .expect = kNoFile,
            .reason = "not enough free space in $TEMP for the decoded audio|needs at least 8 "
                      "MiB|Set TEMP (or TMPDIR) to a folder",
            .plain = true};
        // Options from the environment do not reach the encoder.
        QTest::newRow("LAMEOPT set")
            << Row{.setup = [](Place& p) { p.env.insert("LAMEOPT", "--no-such-option"); }};
        // 2 s inputs: both decoded files fit, the mix does not.
        QTest::newRow("TEMP on a 1 MiB tmpfs, filled while mixing")
            << Row{.setup = [](Place& p) { p.mountTemp("size=1m"); },
                   .expect = kNoFile,
                   .reason = "not enough free space in $TEMP |Set TEMP (or TMPDIR) to a folder"};
        QTest::newRow("TEMP on a full tmpfs")
            << Row{.setup =
                       [](Place& p) {
                           p.mountTemp("size=1m");
                           if (!p.skip.isEmpty())
                               return;
                           QFile filler(p.temp + "/filler");
                           filler.open(QIODevice::WriteOnly);
                           const QByteArray block(4096, 'f');
                           while (filler.write(block) == block.size() && filler.flush()) {
                           }
                       },
                   .expect = kNoFile,
                   .reason = "space",
                   .plain = true};
        // The program's own encoder runs, wherever TEMP is and whatever the kernel allows.
        QTest::newRow("TEMP on a tmpfs that cannot run programs: our encoder runs")
            << Row{.setup =
                       [](Place& p) {
                           p.mountTemp("size=16m", MS_NOEXEC);
                           p.env.insert("ROW", p.root);
                       },
                   .encoder = kMarkedLame,
                   .check = ranMarked};
        QTest::newRow("kernel refuses to run anonymous files: a copy runs")
            << Row{.setup =
                       [](Place& p) {
                           p.wrapper = hardened(false);
                           p.env.insert("ROW", p.root);
                       },
                   .encoder = kMarkedLame,
                   .check = ranMarked};
        QTest::newRow("no way to run an encoder: each way named")
            << Row{.existing = true,
                   .setup =
                       [](Place& p) {
                           p.mountTemp("size=16m", MS_NOEXEC);
                           p.wrapper = hardened(true);
                       },
                   .expect = kNoFile,
                   .reason = "could not be started: from memory (Permission denied)"};
        QTest::newRow("encoder crashes")
            << Row{.existing = true,
                   .encoder = "#!/bin/sh\necho 'lame: internal error' >&2\nkill -SEGV $$\n",
                   .expect = kNoFile,
                   .reason = "signal 11"};
        QTest::newRow("encoder exits with 3")
            << Row{.existing = true,
                   .encoder = "#!/bin/sh\necho 'lame: out of sorts' >&2\n"
                              "printf 'Frame | CPU time\\r' >&2\nexit 3\n",
                   .expect = kNoFile,
                   .reason = "exit code 3|out of sorts"};
        // Half a real MP3, then the end: over an existing file, and where there was none.
        const QString half = "#!/bin/sh\nhead -c 3000 '" + files_.toneA + "' >\"$3\"\n";
        QTest::newRow("encoder killed after half a file, over an existing file")
            << Row{.existing = true,
                   .encoder = half + "kill -KILL $$\n",
                   .expect = kNoFile,
                   .reason = "signal 9"};
        QTest::newRow("encoder fails after half a file")
            << Row{.encoder = half + "exit 1\n", .expect = kNoFile, .reason = "exit code 1"};
        QTest::newRow("encoder writes nothing yet exits 0, over an existing file")
            << Row{.existing = true,
                   .encoder = "#!/bin/sh\nexit 0\n",
                   .expect = kNoFile,
                   .reason = "wrote no output file"};
        // An input cut while it decodes (a sync client, a restarted download) is no "Done.".
        QTest::newRow("first input cut to half while it decodes") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 400 << 20); },
            .expect = kNoFile,
            .reason = "changed while it was being read",
            .during =
                [](Place& p, QProcess& job) {
                    if (decoding(p.temp, job))
                        ::truncate(nativePath(p.in + "/long.wav").constData(), 200 << 20);
                    return false;
                }};
        // Something that tidies TEMP moves the job folder away while it decodes and makes a
        // folder of its own under that name: the job stops before the encode and leaves that
        // folder alone.
        QTest::newRow("job folder swapped for another while decoding") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 16 << 20); },
            .expect = kNoFile,
            .reason = "moved or replaced",
            .during =
                [](Place& p, QProcess& job) {
                    if (!decoding(p.temp, job))
                        return false;
                    QDir temp(p.temp);
                    const QString name = temp.entryList({"blendora-job-*"}, QDir::Dirs).value(0);
                    if (!temp.rename(name, "moved") || !temp.mkdir(name))
                        return false;
                    job.waitForFinished(120000);
                    if (!temp.rename(name, "other"))
                        test::writeAll(p.root + "/removed", {});
                    return false;
                },
            .check =
                [](Place& p, const QString& said) {
                    QStringList problems = nothingOut(p, said);
                    if (QFile::exists(p.root + "/removed"))
                        problems << QStringLiteral("the folder put at the job folder's name went");
                    return problems;
                }};
        // A file size limit (ulimit -f) is a failure told in words, not a silent end.
        QTest::newRow("file size limit of 1 MiB") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 8 << 20); },
            .setup =
                [](Place& p) {
                    p.wrapper = QStringList{"sh", "-c", "ulimit -f 2048 && exec \"$@\"", "sh"};
                },
            .expect = kNoFile,
            .reason = "File too large"};
        // A logout or a kill while a long input decodes: the job folder goes all the same.
        for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGABRT})
            QTest::addRow("%s while decoding", strsignal(signal)) << Row{
                .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 400 << 20); },
                .during =
                    [signal](Place& p, QProcess& job) {
                        if (!decoding(p.temp, job))
                            return false;
                        ::kill(pid_t(job.processId()), signal);
                        return job.waitForFinished();
                    },
                .check = nothingOut};
        // The display goes: the toolkit ends the program through exit().
        QTest::newRow("display lost while decoding") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 400 << 20); },
            .setup = [](Place& p) { p.env.insert("EXIT_WHILE_DECODING", "1"); },
            .during = [](Place&, QProcess& job) { return job.waitForFinished(120000); },
            .check = nothingOut};
        // Too few descriptors for a job: refused before it begins, in words.
        QTest::newRow("ulimit -n 11")
            << Row{.setup =
                       [](Place& p) {
                           p.wrapper = QStringList{"sh", "-c", "ulimit -n 11 && exec \"$@\"", "sh"};
                       },
                   .expect = kNoFile,
                   .reason = "Too many open files|free file descriptors"};
    }
    void environment() { run(); }

    // The output's name in folders others can write: links planted at it, the temporary file
    // swapped, a late encoder, another user's modes, a kill, a full disk.
    void outputName_data() {
        QTest::addColumn<Row>("row");
        // A 0600 file of the user who mixes, and the output folder shared with mode `shared`.
        auto victimBeside = [](mode_t shared, uid_t runner, std::function<void(Place&)> then = {}) {
            return [=](Place& p) {
                p.env.insert("ROW", p.root);
                p.lastly.push_back([&p, shared, runner, then] {
                    const QByteArray victim = nativePath(p.root + "/victim");
                    test::writeAll(p.root + "/victim", kSecret);
                    ::chown(victim.constData(), runner, runner);
                    ::chmod(victim.constData(), 0600);
                    ::chown(nativePath(p.out).constData(), 0, 0);
                    ::chmod(nativePath(p.out).constData(), shared);
                    if (then)
                        then(p);
                });
            };
        };
        auto plantLink = [](Place& p) {
            const QByteArray at = nativePath(p.out + "/mixed.mp3");
            ::symlink(nativePath(p.root + "/victim").constData(), at.constData());
            ::lchown(at.constData(), kNobody, kNobody);
        };
        auto victimKept = [](Place& p, uid_t runner) {
            struct stat st;
            if (::lstat(nativePath(p.root + "/victim").constData(), &st) != 0 ||
                test::readAll(p.root + "/victim") != kSecret || (st.st_mode & 07777) != 0600 ||
                st.st_uid != runner)
                return QStringList{"the victim's bytes, mode or owner changed"};
            return QStringList();
        };
        // What the output's folder holds, and what stands at the name.
        auto left = [](Place& p, const QStringList& names, Snapshot::Kind kind) {
            QStringList problems;
            const QStringList all = QDir(p.out).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                          QDir::Hidden | QDir::System);
            if (all != names)
                problems << "the output folder holds " + all.join(", ");
            const QString out = p.out + "/mixed.mp3";
            if (snapshot(out).kind != kind)
                problems << QStringLiteral("the output is of kind %1, not %2")
                                .arg(snapshot(out).kind)
                                .arg(kind);
            else if (kind == Snapshot::File && test::readAll(out) != "a newer mix\n")
                problems << soundProblems(out, {2.0, 0, 0});
            return problems;
        };
        const QStringList mixed{"mixed.mp3"};

        for (const bool sticky : {true, false})
            for (const uid_t runner : {uid_t(0), kOther})
                for (const bool whileDecoding : {false, true}) {
                    Row row{.expect = kNoFile, .as = runner};
                    row.setup =
                        victimBeside(sticky ? 01777 : 0777, runner,
                                     whileDecoding ? std::function<void(Place&)>() : plantLink);
                    Snapshot::Kind kind = Snapshot::Other; // the link stays
                    if (whileDecoding) {
                        row.setup = [setup = row.setup](Place& p) {
                            setup(p);
                            p.env.insert("PLANT_WHILE_DECODING", p.root + "/victim");
                        };
                        row.reason = "was changed";
                    } else if (sticky && runner) {
                        row.reason = "cannot be replaced";
                    } else {
                        row.expect = kDone; // the link is replaced as a name
                        kind = Snapshot::File;
                    }
                    row.check = [=](Place& p, const QString& said) {
                        QStringList problems = victimKept(p, runner) + left(p, mixed, kind);
                        struct stat st;
                        if (kind == Snapshot::File &&
                            (::lstat(nativePath(p.out + "/mixed.mp3").constData(), &st) != 0 ||
                             st.st_uid != runner))
                            problems << "the new file is not the runner's: " + said;
                        return problems;
                    };
                    QTest::addRow("link planted %s, %s folder%s",
                                  whileDecoding ? "while decoding" : "before the dialog",
                                  sticky ? "sticky shared" : "shared",
                                  runner ? " (another user)" : "")
                        << row;
                }

        // A tag editor changes the output in place during the encode, same size, and puts its
        // modification time back: only its change time tells. That newer file stays.
        QTest::newRow("output edited in place during the encode, its time put back")
            << Row{.existing = true,
                   .setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .expect = kNoFile,
                   .reason = "was changed",
                   .during =
                       [](Place& p, QProcess& job) {
                           if (!waitFor(job, p.root + "/supervisor"))
                               return false;
                           const QByteArray out = nativePath(p.out + "/mixed.mp3");
                           struct stat st;
                           ::stat(out.constData(), &st);
                           QFile edit(p.out + "/mixed.mp3");
                           edit.open(QIODevice::ReadWrite);
                           edit.write(QByteArray(int(st.st_size), 'e'));
                           edit.close();
                           const struct timespec times[2] = {st.st_atim, st.st_mtim};
                           ::utimensat(AT_FDCWD, out.constData(), times, 0);
                           test::writeAll(p.root + "/go", {});
                           return false;
                       },
                   .check =
                       [](Place& p, const QString&) {
                           return test::readAll(p.out + "/mixed.mp3").count('e') ==
                                          QFileInfo(p.out + "/mixed.mp3").size()
                                      ? QStringList()
                                      : QStringList{"the edited file was replaced"};
                       }};

        // The window is closed during the encode (or the program ended by `signal`), the program
        // started again; the encoder ends later.
        auto late = [](bool newer, int signal = SIGKILL) {
            return [newer, signal](Place& p, QProcess& job) {
                if (!waitFor(job, p.root + "/supervisor"))
                    return false;
                ::kill(pid_t(job.processId()), signal);
                job.waitForFinished();
                RemoveStaleJobFolders(p.temp); // a start meanwhile leaves the encoder's folder
                if (newer)
                    test::writeAll(p.out + "/mixed.mp3", "a newer mix\n");
                test::writeAll(p.root + "/go", {});
                for (int i = 0; i < 600 && !QDir(p.temp).isEmpty(); ++i)
                    QTest::qWait(100);
                return true;
            };
        };
        QTest::newRow("late encoder, name untouched: the mix arrives") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .during = late(false),
            .check = [=](Place& p, const QString&) { return left(p, mixed, Snapshot::File); }};
        QTest::newRow("late encoder after SIGTERM: the mix arrives") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .during = late(false, SIGTERM),
            .check = [=](Place& p, const QString&) { return left(p, mixed, Snapshot::File); }};
        QTest::newRow("late encoder against a newer file: the newer stays")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .during = late(true),
                   .check =
                       [=](Place& p, const QString&) {
                           return test::readAll(p.out + "/mixed.mp3") == "a newer mix\n"
                                      ? left(p, mixed, Snapshot::File)
                                      : QStringList{"the late mix replaced the newer file"};
                       }};

        // Root replaces a file of nobody's: the owner stays, the set-id bits go.
        for (const mode_t mode : {06777, 0600})
            QTest::addRow("root replaces nobody's %04o file", mode)
                << Row{.existing = true,
                       .setup =
                           [mode](Place& p) {
                               const QByteArray out = nativePath(p.out + "/mixed.mp3");
                               ::chown(out.constData(), kNobody, kNobody);
                               ::chmod(out.constData(), mode);
                           },
                       .check =
                           [=](Place& p, const QString& said) {
                               struct stat st;
                               ::lstat(nativePath(p.out + "/mixed.mp3").constData(), &st);
                               QStringList problems = left(p, mixed, Snapshot::File);
                               if (st.st_uid != kNobody || st.st_gid != kNobody ||
                                   (st.st_mode & 07777) != (mode & 0777))
                                   problems << QStringLiteral("the new file is %1:%2 mode %3: %4")
                                                   .arg(st.st_uid)
                                                   .arg(st.st_gid)
                                                   .arg(st.st_mode & 07777, 0, 8)
                                                   .arg(said);
                               return problems;
                           }};

        // The saver held by strace at its first `call` (or as `injected` says) until `reached`,
        // then killed: alone, or with everything of the session, after which one start follows.
        const auto killSaver = [](const QString& call, std::function<bool(Place&)> reached,
                                  bool everything = false, QStringList injected = {}) {
            if (injected.isEmpty())
                injected << "inject=" + call + ":delay_enter=5000000";
            return [=](Place& p, QProcess& job) {
                if (!waitFor(job, p.root + "/supervisor"))
                    return false;
                const QString supervisor =
                    QString::fromLatin1(test::readAll(p.root + "/supervisor").trimmed());
                QProcess tracer;
                QStringList arguments{"-qq",      "-o", "/dev/null",    "-p",
                                      supervisor, "-e", "trace=" + call};
                for (const QString& injection : injected)
                    arguments << "-e" << injection;
                tracer.start("strace", arguments);
                tracer.waitForStarted();
                // Held only once strace is attached, however busy the machine is.
                const QString status = "/proc/" + supervisor + "/status";
                for (int i = 0; i < 500 && test::readAll(status).contains("TracerPid:\t0\n"); ++i)
                    QTest::qWait(20);
                QTest::qWait(100);
                test::writeAll(p.root + "/go", {});
                while (!reached(p))
                    if (job.waitForFinished(5))
                        return false;
                ::kill(everything ? -supervisor.toInt() : supervisor.toInt(), SIGKILL);
                if (everything) {
                    job.kill();
                    job.waitForFinished();
                }
                tracer.kill();
                tracer.waitForFinished();
                if (everything) {
                    ended(supervisor.toLongLong());
                    RemoveStaleJobFolders(p.temp);
                }
                return everything;
            };
        };
        const auto saving = [](Place& p) {
            return !QDir(p.out).entryList({".blendora-*"}, QDir::Dirs | QDir::Hidden).isEmpty();
        };
        QTest::newRow("everything killed during the save, then a start")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .during = killSaver("renameat2", saving, true),
                   .check = [=](Place& p, const QString&) { return left(p, {}, Snapshot::None); }};
        QTest::newRow("everything killed as the save's folder is made, then a start") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .during = killSaver("mkdirat", saving, true, {"inject=mkdirat:delay_exit=5000000"}),
            .check = [=](Place& p, const QString&) { return left(p, {}, Snapshot::None); }};
        QTest::newRow("saver killed during its save")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .expect = kNoFile,
                   .reason = "save was stopped by signal 9",
                   .during = killSaver("renameat2", saving)};
        QTest::newRow("saver killed after its rename, before its report")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .during = killSaver(
                       "getdents64", [](Place& p) { return QFile::exists(p.out + "/mixed.mp3"); })};
        // Where the name cannot be taken by a rename or a link (FAT through FUSE), the copy made
        // at it is the mix only once it is whole: killed before, it is no "Done." and it goes.
        QTest::newRow("saver killed while it copies to the name") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .expect = kNoFile,
            .reason = "save was stopped by signal 9",
            .during = killSaver("fsync,renameat2,linkat",
                                [](Place& p) { return QFile::exists(p.out + "/mixed.mp3"); }, false,
                                {"inject=renameat2:error=EINVAL", "inject=linkat:error=EPERM",
                                 "inject=fsync:delay_enter=5000000:when=2"})};
        QTest::newRow("output folder moved during the job") << Row{
            .during =
                [](Place& p, QProcess& job) {
                    if (decoding(p.temp, job))
                        QDir().rename(p.out, p.root + "/moved");
                    return false;
                },
            .check =
                [](Place& p, const QString&) {
                    QStringList problems = soundProblems(p.root + "/moved/mixed.mp3", {2.0, 0, 0});
                    if (!p.said.join("\n").contains(p.root + "/moved/mixed.mp3"))
                        problems << "not told where the mix went: " + p.said.join(" | ");
                    return problems;
                }};

        // A FAT stick (through FUSE: no owners, no modes, no links, no RENAME_NOREPLACE) takes
        // the mix as cp would, new or over an earlier file.
        for (const bool existing : {false, true})
            QTest::addRow("output on FAT%s", existing ? ", over an existing file" : "")
                << Row{.setup = [existing](Place& p) {
                       const QString image = p.root + "/fat.img";
                       if (!test::run("mkfs.vfat", {"-C", image, "8192"}) ||
                           !test::run("fusefat", {"-o", "rw+", image, p.out})) {
                           p.skip = "mkfs.vfat and fusefat are needed for a FAT file system";
                           return;
                       }
                       p.undo.push_back([&p] { test::run("fusermount", {"-u", p.out}); });
                       if (existing)
                           test::writeAll(p.out + "/mixed.mp3", "an earlier mix\n");
                   }};

        // The output's own disk is full: one clean line that says so and names the folder.
        QTest::newRow("output on a full disk")
            << Row{.setup =
                       [](Place& p) {
                           if (::mount("tmpfs", nativePath(p.out).constData(), "tmpfs", 0,
                                       "size=256k") != 0) {
                               p.skip = "this machine does not allow mounting a tmpfs";
                               return;
                           }
                           p.undo.push_back(
                               [&p] { ::umount2(nativePath(p.out).constData(), MNT_DETACH); });
                           QFile filler(p.out + "/filler");
                           filler.open(QIODevice::WriteOnly);
                           const QByteArray block(4096, 'f');
                           while (filler.write(block) == block.size() && filler.flush()) {
                           }
                       },
                   .expect = kNoFile,
                   .reason = "not enough free space in",
                   .check =
                       [=](Place& p, const QString& said) {
                           const QString reason = said.section("\r\r", 1);
                           QStringList problems = left(p, {"filler"}, Snapshot::None);
                           if (!reason.contains(p.out + " ") ||
                               reason.contains(QRegularExpression("[\\x00-\\x1f\\x7f]")))
                               problems << "not one clean line naming the folder: " + reason;
                           return problems;
                       }};
    }
    void outputName() { run(); }

    // A second user against the job, run by root and by an ordinary user: what they plant in
    // the folders they can write, and the ways a process can be handed odd state.
    void attacks_data() {
        QTest::addColumn<Row>("row");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        // The attacker starts before the job, as nobody, watching the folder it can write.
        auto attacker = [setpriv](const QString& kind, QString Place::*folder,
                                  const QString& victim, gid_t group = kNobody) {
            return [=](Place& p) {
                auto proc = std::make_shared<QProcess>();
                proc->start(setpriv,
                            {"--reuid=65534", QStringLiteral("--regid=%1").arg(group),
                             "--clear-groups", "--", QCoreApplication::applicationFilePath(),
                             "--attack", kind, p.*folder, p.root + "/" + victim});
                proc->waitForStarted();
                p.undo.push_back([proc] {
                    proc->kill();
                    proc->waitForFinished();
                });
            };
        };
        // The runner's own file and folder, and where the attacker's encoder would leave a mark.
        auto victims = [](uid_t runner, mode_t temp, uid_t tempOwner) {
            return [=](Place& p) {
                test::writeAll(p.root + "/victim", kSecret);
                QDir().mkpath(p.root + "/victim-folder");
                test::writeAll(p.root + "/victim-folder/a", "a");
                test::writeAll(p.root + "/victim-folder/b", "b");
                for (const char* v : {"/victim", "/victim-folder", "/victim-folder/a"})
                    ::chown(nativePath(p.root + v).constData(), runner, runner);
                ::chmod(nativePath(p.root + "/victim").constData(), 0600);
                ::chmod(nativePath(p.root + "/victim-folder").constData(), 0700);
                ::chown(nativePath(p.temp).constData(), tempOwner, tempOwner);
                ::chmod(nativePath(p.temp).constData(), temp);
                ::chmod(nativePath(p.out).constData(), 0777);
                ::chmod(nativePath(p.root).constData(), 0755);
            };
        };
        auto unharmed = [](const QString& expect) {
            return [=](Place& p, const QString& said) {
                QStringList problems;
                if (!said.startsWith(expect))
                    problems << "expected \"" + expect + "\": " + said;
                if (QFile::exists(p.root + "/pwned"))
                    problems << QStringLiteral("the attacker's encoder ran");
                if (test::readAll(p.root + "/victim") != kSecret)
                    problems << QStringLiteral("the victim's file was written");
                if (QDir(p.root + "/victim-folder").entryList(QDir::Files) != QStringList{"a", "b"})
                    problems << QStringLiteral("the victim's folder lost its files");
                struct stat st;
                const QString out = p.out + "/mixed.mp3";
                if (expect == kDone &&
                    (::lstat(nativePath(out).constData(), &st) != 0 || !S_ISREG(st.st_mode)))
                    problems << QStringLiteral("the output is no file of the mix");
                else if (expect == kDone)
                    problems << soundProblems(out, {2.0, 0, 0});
                if (expect != kDone && test::readAll(out).startsWith("a newer mix") == false &&
                    QFile::exists(out))
                    problems << QStringLiteral("the newer file at the name was replaced");
                return problems;
            };
        };
        auto both = [](Setup a, Setup b) {
            return [=](Place& p) {
                a(p);
                b(p);
            };
        };
        for (const uid_t runner : {uid_t(0), kOther}) {
            const char* who = runner ? "an ordinary user" : "root";
            const auto row = [&](const char* name, Setup lastly, Setup setup = {},
                                 const QString& expect = kDone, const QString& encoder = {}) {
                Row r{.setup =
                          [=](Place& p) {
                              p.env.insert("ROW", p.root);
                              p.tempFolders << p.root + "/runtime";
                              if (setup)
                                  setup(p);
                              p.lastly.push_back([&p, lastly] { lastly(p); });
                          },
                      .encoder = encoder,
                      .expect = expect,
                      .reason = expect == kNoFile ? QStringLiteral("was changed") : QString(),
                      .as = runner,
                      .check = unharmed(expect)};
                QTest::addRow("%s, %s mixing", name, who) << r;
            };
            const auto others = victims(runner, 0777, kNobody);
            row("TEMP another user's: the encoder swapped",
                both(others, attacker("encoder", &Place::temp, "pwned")));
            row("TEMP another user's: temp2.wav a link to the victim's file",
                both(others, attacker("wav", &Place::temp, "victim")));
            row("TEMP another user's: the job folder a link to the victim's folder",
                both(others, attacker("folder", &Place::temp, "victim-folder")));
            row("TEMP shared without the sticky bit: the encoder swapped",
                both(victims(runner, 0777, runner), attacker("encoder", &Place::temp, "pwned")));
            // strace holds the save's rename for a second: the window the attacker needs.
            const QStringList held{"strace",
                                   "-f",
                                   "-qq",
                                   "-o",
                                   "/dev/null",
                                   "-e",
                                   "trace=renameat2",
                                   "-e",
                                   "inject=renameat2:delay_enter=1000000"};
            row("the temporary beside the output swapped for a link during the save",
                both(victims(runner, 0755, runner), attacker("beside", &Place::out, "victim")),
                [held](Place& p) { p.wrapper = held; });
            // NFS, 9p and FUSE refuse RENAME_NOREPLACE; a file written meanwhile stays.
            QStringList refused = held;
            refused.last() = "inject=renameat2:error=EINVAL:delay_enter=1000000";
            row(
                "a file appears at the name where renames cannot refuse to replace",
                both(victims(runner, 0755, runner), attacker("appear", &Place::out, "victim")),
                [refused](Place& p) { p.wrapper = refused; }, kNoFile);
        }
        // TEMP writable by root's group, a group of root's own name and no listed members: a
        // process of that group swaps the new job folder for a link to root's folder while
        // strace holds the mkdir's return.
        QTest::newRow("TEMP of root's group: the new job folder swapped for a link, root mixing")
            << Row{.setup =
                       [=](Place& p) {
                           p.env.insert("ROW", p.root);
                           p.wrapper = QStringList{"strace",
                                                   "-f",
                                                   "-qq",
                                                   "-o",
                                                   "/dev/null",
                                                   "-e",
                                                   "trace=mkdirat",
                                                   "-e",
                                                   "inject=mkdirat:delay_exit=300000"};
                           victims(0, 0770, 0)(p);
                           attacker("folder", &Place::temp, "victim-folder", 0)(p);
                       },
                   .expect = kNoFile,
                   .reason = "replaced the new job folder",
                   .during =
                       [](Place& p, QProcess& job) {
                           job.waitForFinished(120000);
                           // The attacker's link stays for its owner to remove.
                           for (const QFileInfo& link : QDir(p.temp).entryInfoList(
                                    {"blendora-job-*"}, QDir::System | QDir::Dirs))
                               if (link.isSymLink())
                                   QFile::remove(link.filePath());
                           return false;
                       },
                   .check = unharmed(kNoFile)};
        // A descriptor the program was started with (a session's lock, a terminal) is not the
        // encoder's: it would hold it past the program's end.
        QTest::newRow("started with a descriptor open")
            << Row{.setup =
                       [](Place& p) {
                           p.env.insert("ROW", p.root);
                           p.wrapper = QStringList{
                               "sh", "-c", "exec 7<>\"$ROW/held-open\" && exec \"$@\"", "sh"};
                       },
                   .encoder = QStringLiteral("#!/bin/sh\nfor fd in /proc/$$/fd/*; do\n"
                                             "  case \"$(readlink \"$fd\")\" in *held-open) "
                                             "echo \"$fd\" >>\"$ROW/kept\";; esac\ndone\n"
                                             "exec '%1' \"$@\"\n")
                                  .arg(BLENDORA_LAME),
                   .check =
                       [](Place& p, const QString& said) {
                           QStringList problems;
                           if (said != kDone)
                               problems << "expected \"Done.\": " + said;
                           if (QFile::exists(p.root + "/kept"))
                               problems << "the encoder got the program's descriptor " +
                                               test::readAll(p.root + "/kept").trimmed();
                           return problems;
                       }};
        // The supervisor alone is killed: its encoder goes with it, and the save is what stopped,
        // also when the program was started with SIGCHLD ignored.
        QTest::newRow("supervisor killed during the encode")
            << Row{.setup =
                       [](Place& p) {
                           p.env.insert("ROW", p.root);
                           p.wrapper = {"bash", "-c", "trap '' CHLD; exec \"$@\"", "bash"};
                       },
                   .encoder = kGatedLame,
                   .expect = kNoFile,
                   .reason = "save was stopped by signal 9",
                   .during =
                       [](Place& p, QProcess& job) {
                           if (!waitFor(job, p.root + "/encoder-pid"))
                               return false;
                           const auto pid = [&](const char* who) {
                               return pid_t(test::readAll(p.root + who).trimmed().toInt());
                           };
                           if (pid("/supervisor") <= 1 || pid("/encoder-pid") <= 1)
                               return false;
                           ::kill(pid("/supervisor"), SIGKILL);
                           if (!ended(pid("/encoder-pid")))
                               test::writeAll(p.root + "/outlived", {});
                           test::writeAll(p.root + "/go", {});
                           return false;
                       },
                   .check =
                       [](Place& p, const QString& said) {
                           QStringList problems;
                           if (!said.contains("save was stopped by signal 9"))
                               problems << "not told the save was stopped: " + said;
                           if (QFile::exists(p.root + "/outlived"))
                               problems << QStringLiteral("the encoder outlived its supervisor");
                           return problems;
                       }};
        // What the starter of the program ignored reaches no encoder.
        QTest::newRow("started with signals ignored") << Row{
            .setup =
                [](Place& p) {
                    p.env.insert("ROW", p.root);
                    p.wrapper = QStringList{"sh", "-c", "trap '' USR1 HUP 40; exec \"$@\"", "sh"};
                },
            .encoder = QStringLiteral("#!/bin/sh\ngrep SigIgn /proc/$$/status "
                                      ">\"$ROW/signals\"\nexec '%1' \"$@\"\n")
                           .arg(BLENDORA_LAME),
            .check =
                [](Place& p, const QString&) {
                    const QByteArray seen = test::readAll(p.root + "/signals");
                    return seen.contains("0000000000000000")
                               ? QStringList()
                               : QStringList{"the encoder started with " + seen};
                }};
    }
    void attacks() { run(); }

    // Settings that cannot be written or read: typing goes on, the program keeps running, and
    // one plain message names the settings file. Each answers the file the message must name.
    void settings_data() {
        QTest::addColumn<std::function<QString(Place&)>>("setup");
        QTest::addColumn<bool>("nobody");
        QTest::addColumn<QString>("stored"); // what the first field starts with
        // Refused when read at start, and told by the start-up's report.
        QTest::addColumn<bool>("atStart");
        // Files under the row's folder and the bytes they must hold afterwards; a null array
        // for a file that must not be there.
        QTest::addColumn<AfterFiles>("after");
        const QString kept = "/stored/one.mp3";
        auto ownConfig = [](Place& p) {
            p.env.remove("XDG_CONFIG_HOME");
            QDir().mkpath(p.root + "/home/.config");
            return p.root + "/home/.config/Quorvane.ini";
        };
        QTest::newRow("settings file is a folder") << std::function([](Place& p) {
            QDir().mkpath(p.root + "/config/Quorvane.ini");
            return p.root + "/config/Quorvane.ini";
        }) << false << QString() << true << AfterFiles();
        QTest::newRow("settings file read-only, paths stored (nobody)")
            << std::function([kept](Place& p) {
                   const QString file = p.root + "/config/Quorvane.ini";
                   test::writeAll(file, "[Blendora]\nText1=" + kept.toUtf8() + "\nText2=/b.mp3\n");
                   p.lastly.push_back([file] { QFile::setPermissions(file, QFile::ReadOwner); });
                   return file;
               })
            << true << kept << false << AfterFiles();
        QTest::newRow("~/.config read-only (nobody)") << std::function([ownConfig](Place& p) {
            const QString file = ownConfig(p);
            p.lastly.push_back([&p] { giveTo(p.root + "/home/.config", 0); });
            return file;
        }) << true << QString() << false << AfterFiles();
        QTest::newRow("HOME read-only (nobody)") << std::function([](Place& p) {
            p.env.remove("XDG_CONFIG_HOME");
            p.lastly.push_back([&p] { giveTo(p.root + "/home", 0); });
            return p.root + "/home/.config/Quorvane.ini";
        }) << true << QString() << false << AfterFiles();
        QTest::newRow("XDG_CONFIG_HOME names a file") << std::function([](Place& p) {
            test::writeAll(p.root + "/xdg", "a file");
            p.env.insert("XDG_CONFIG_HOME", p.root + "/xdg");
            return p.root + "/xdg/Quorvane.ini";
        }) << false << QString() << false << AfterFiles();
        QTest::newRow("settings file a FIFO") << std::function([](Place& p) {
            ::mkfifo(nativePath(p.root + "/config/Quorvane.ini").constData(), 0600);
            return p.root + "/config/Quorvane.ini";
        }) << false << QString() << true << AfterFiles();
        QTest::newRow("settings file of 300 MB") << std::function([](Place& p) {
            const QString file = p.root + "/config/Quorvane.ini";
            test::writeAll(file, "[Blendora]\nText1=/x.mp3\n");
            ::truncate(nativePath(file).constData(), 300 << 20);
            return file;
        }) << false << QString() << true << AfterFiles();
        // Root with a HOME of someone else's, who made the settings file a link to a file only
        // root may read: none of it shows in the fields.
        const QByteArray rootOnly = "[Blendora]\nText1=/root/only.mp3\n";
        QTest::newRow("attack: settings a link to root's file, in another user's HOME")
            << std::function([rootOnly](Place& p) {
                   p.env.remove("XDG_CONFIG_HOME");
                   QDir().mkpath(p.root + "/home/.config");
                   test::writeAll(p.root + "/victim", rootOnly);
                   QFile::setPermissions(p.root + "/victim", QFile::ReadOwner | QFile::WriteOwner);
                   QFile::link(p.root + "/victim", p.root + "/home/.config/Quorvane.ini");
                   giveTo(p.root + "/home", kOther);
                   return p.root + "/home/.config/Quorvane.ini";
               })
            << false << QString() << true << AfterFiles{{"victim", rootOnly}};
        // The same user made ~/.config a link to a folder of root's.
        QTest::newRow("attack: ~/.config a link to root's folder, in another user's HOME")
            << std::function([](Place& p) {
                   p.env.remove("XDG_CONFIG_HOME");
                   QDir().mkpath(p.root + "/rootconfig");
                   QFile::link(p.root + "/rootconfig", p.root + "/home/.config");
                   giveTo(p.root + "/home", kOther);
                   return p.root + "/home/.config/Quorvane.ini";
               })
            << false << QString() << false << AfterFiles{{"rootconfig/Quorvane.ini", {}}};
        // Root's own settings folder reached through a link another user owns: judged as the link.
        QTest::newRow("attack: XDG_CONFIG_HOME another user's link to root's folder")
            << std::function([](Place& p) {
                   QDir().mkpath(p.root + "/rootconfig");
                   QFile::link(p.root + "/rootconfig", p.root + "/link");
                   ::lchown(nativePath(p.root + "/link").constData(), kOther, kOther);
                   p.env.insert("XDG_CONFIG_HOME", p.root + "/link");
                   return p.root + "/link/Quorvane.ini";
               })
            << false << QString() << false << AfterFiles{{"rootconfig/Quorvane.ini", {}}};
        // A settings folder others can write (a shared account's): the link another user put at
        // the name is replaced, never written through to the user's own file it points at.
        QTest::newRow("attack: settings a link to the user's file, in a shared folder (nobody)")
            << std::function([](Place& p) {
                   test::writeAll(p.root + "/victim", kSecret);
                   const QString file = p.root + "/config/Quorvane.ini";
                   QFile::link(p.root + "/victim", file);
                   p.lastly.push_back([&p, file] {
                       ::chmod(nativePath(p.root + "/victim").constData(), 0600);
                       ::chown(nativePath(p.root + "/config").constData(), 0, 0);
                       ::chmod(nativePath(p.root + "/config").constData(), 0777);
                       ::lchown(nativePath(file).constData(), kOther, kOther);
                   });
                   return file;
               })
            << true << QString() << true
            << AfterFiles{{"victim", kSecret},
                          {"config/Quorvane.ini", "[Blendora]\nText1=ab\nText2=c\n"}};
        // Read at 1 MiB, it would pass 1 MiB with one more letter: refused, and kept as it is.
        QByteArray full = "[Blendora]\nPad=";
        const QByteArray keys = "\nText1=" + kept.toUtf8() + "\nText2=/b.mp3\n";
        full += QByteArray((1 << 20) - full.size() - keys.size(), 'x') + keys;
        // Too large to read, and so never replaced by a file without its keys.
        QTest::newRow("settings file of 1 MiB and a byte") << std::function([full](Place& p) {
            test::writeAll(p.root + "/config/Quorvane.ini", full + 'x');
            return p.root + "/config/Quorvane.ini";
        }) << false << QString() << true << AfterFiles{{"config/Quorvane.ini", full + 'x'}};
        QTest::newRow("settings file of exactly 1 MiB") << std::function([full](Place& p) {
            test::writeAll(p.root + "/config/Quorvane.ini", full);
            return p.root + "/config/Quorvane.ini";
        }) << false << kept << false << AfterFiles{{"config/Quorvane.ini", full}};
        // No settings at all: told at start, kept beside a fresh file that remembers again.
        QRandomGenerator random(1313);
        QByteArray junk(4096, '\0');
        for (char& b : junk)
            b = char(random.bounded(256));
        for (const auto& [what, bytes] :
             {std::pair{"prose", QByteArray("Nothing here is a setting, only a line of prose.\n")},
              {"NUL bytes", QByteArray(64, '\0')},
              {"junk", junk}})
            QTest::addRow("settings file of %s", what)
                << std::function([bytes](Place& p) {
                       test::writeAll(p.root + "/config/Quorvane.ini", bytes);
                       return p.root + "/config/Quorvane.ini";
                   })
                << false << QString() << false
                << AfterFiles{{"config/Quorvane.ini.broken", bytes},
                              {"config/Quorvane.ini", "[Blendora]\nText1=ab\nText2=c\n"}};
        // One kept aside before stays as it is.
        QTest::newRow("settings file of prose, another kept aside before")
            << std::function([](Place& p) {
                   test::writeAll(p.root + "/config/Quorvane.ini.broken", "before");
                   test::writeAll(p.root + "/config/Quorvane.ini", "prose");
                   return p.root + "/config/Quorvane.ini";
               })
            << false << QString() << false
            << AfterFiles{{"config/Quorvane.ini.broken", "before"},
                          {"config/Quorvane.ini.broken-2", "prose"}};
    }
    void settings() {
        QFETCH(std::function<QString(Place&)>, setup);
        QFETCH(bool, nobody);
        QFETCH(QString, stored);
        QFETCH(bool, atStart);
        QFETCH(AfterFiles, after);
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (nobody && (::geteuid() != 0 || setpriv.isEmpty()))
            QSKIP("this row runs as user nobody: it needs root and setpriv");
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

        QProcess child;
        child.setProcessEnvironment(place.env);
        child.setWorkingDirectory(place.root);
        const QStringList arguments{"--type"};
        if (nobody)
            child.start(setpriv, QStringList{"--reuid=65534", "--regid=65534", "--clear-groups",
                                             "--", QCoreApplication::applicationFilePath()} +
                                     arguments);
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
        QVERIFY2(seen.size() == 1, QJsonDocument(seen).toJson().constData());
        const QJsonObject message = seen[0].toObject();
        QCOMPARE(message["kind"].toInt(), int(atStart ? Prompt::Warning : Prompt::Message));
        QVERIFY2(message["text"].toString().contains(
                     QRegularExpression("^(Run-time error.*\\r\\r)?The settings file " +
                                        QRegularExpression::escape(file) + " ")),
                 qPrintable(message["text"].toString()));
        if (!atStart)
            QCOMPARE(message["caption"].toString(), QStringLiteral("Blendora"));
    }

    // Two copies typing at once: each write changes only its own key.
    void settingsTwoCopies() {
        const QString root = base_.path() + "/twoCopies";
        QVERIFY(QDir().mkpath(root + "/config"));
        QProcess copies[2];
        for (int i = 0; i < 2; ++i)
            startWriter(copies[i], root, {"--write", QStringLiteral("Text%1").arg(i + 1), "300"});
        for (QProcess& copy : copies) {
            QVERIFY(copy.waitForFinished(120000) && copy.exitCode() == 0);
            QCOMPARE(copy.readAllStandardOutput().trimmed(), QByteArray("0"));
        }
        const QSettings file(root + "/config/Quorvane.ini", QSettings::IniFormat);
        QCOMPARE(file.value("Blendora/Text1").toString(), QStringLiteral("Text1299"));
        QCOMPARE(file.value("Blendora/Text2").toString(), QStringLiteral("Text2299"));
    }

    // A write ended halfway leaves its scratch folder to the signal's clean-up, or after a kill
    // to the next write.
    void settingsKilledMidWrite() {
        for (const int signal : {SIGTERM, SIGKILL}) {
            const QString root = base_.path() + QStringLiteral("/killedMidWrite%1").arg(signal);
            // The person's own folder, named as ours are, and private as ours are.
            const QString lookAlike = root + "/config/.Quorvane.ini-backup";
            QVERIFY(QDir().mkpath(lookAlike));
            QVERIFY(QFile::setPermissions(lookAlike,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            test::writeAll(lookAlike + "/notes.txt", kSecret);
            const auto scratch = [&] {
                return QDir(root + "/config")
                    .entryList({".Quorvane.ini-*"}, QDir::Dirs | QDir::Hidden)
                    .filter(QRegularExpression("^(?!.*backup$)"));
            };
            bool caught = false;
            for (int attempt = 0; attempt < 20 && !caught; ++attempt) {
                QProcess writer, tracer;
                startWriter(writer, root, {"--write", "Text1", "1000000"});
                const QString pid = QString::number(writer.processId());
                // A TERM comes as the scratch folder is made, before it is recorded for the end:
                // strace holds the writer at the end of its mkdirat.
                if (signal == SIGTERM) {
                    tracer.start("strace", {"-qq", "-o", "/dev/null", "-e", "trace=mkdirat", "-e",
                                            "inject=mkdirat:delay_exit=300000", "-p", pid});
                    for (int i = 0;
                         i < 500 &&
                         test::readAll("/proc/" + pid + "/status").contains("TracerPid:\t0\n");
                         ++i)
                        QTest::qWait(20);
                }
                QElapsedTimer clock;
                clock.start();
                while (scratch().isEmpty() && clock.elapsed() < 20000)
                    ;
                const bool held = test::readAll("/proc/" + pid + "/stat").contains(") t ");
                ::kill(pid_t(writer.processId()), signal);
                QVERIFY(writer.waitForFinished(20000));
                tracer.waitForFinished();
                caught = signal == SIGTERM ? held : !scratch().isEmpty();
            }
            QVERIFY2(caught, "no kill came while a scratch folder stood");
            if (signal == SIGKILL) {
                QProcess next;
                startWriter(next, root, {"--write", "Text2", "1"});
                QVERIFY(next.waitForFinished(20000));
            }
            QVERIFY2(scratch().isEmpty(), qPrintable(scratch().join(", ")));
            QCOMPARE(test::readAll(lookAlike + "/notes.txt"), kSecret);
        }
    }

    // A lock another program keeps: typing never waits on it, it is told once, and what was
    // typed is stored once the lock is free.
    void settingsLockHeld() {
        const QString root = base_.path() + "/lockHeld";
        QVERIFY(QDir().mkpath(root + "/config"));
        const QByteArray lock = QFile::encodeName(root + "/config/Quorvane.ini.lock");
        const int held = ::open(lock.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(held >= 0 && ::flock(held, LOCK_EX | LOCK_NB) == 0);
        const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
        if (strace.isEmpty())
            QSKIP("strace counts the tries at the lock: it is not installed");
        QProcess child;
        startWriter(child, root,
                    {"-f", "-qq", "-y", "-e", "trace=flock", "-o", root + "/tries",
                     QCoreApplication::applicationFilePath(), "--type", "--linger"},
                    strace);
        QVERIFY(child.waitForReadyRead(60000));
        const QJsonObject report = QJsonDocument::fromJson(child.readLine()).object();
        ::close(held);
        child.write("free\n");
        QVERIFY(child.waitForFinished(60000));
        const QJsonArray seen = report["prompts"].toArray();
        QVERIFY2(seen.size() == 1 && seen[0].toObject()["text"].toString().contains(
                                         "another program holds its lock"),
                 QJsonDocument(seen).toJson().constData());
        // Start and typing make five writes against the busy lock: one waits, at a try each
        // 10 ms, and the others try once.
        const int tries = int(test::readAll(root + "/tries").count("Quorvane.ini.lock>, LOCK_EX"));
        QVERIFY2(tries > 5 && tries < 40, qPrintable(QString::number(tries)));
        const QSettings file(root + "/config/Quorvane.ini", QSettings::IniFormat);
        QCOMPARE(file.value("Blendora/Text1").toString(), QStringLiteral("ab"));
        QCOMPARE(file.value("Blendora/Text2").toString(), QStringLiteral("c"));
    }

    // Merges whose converted copies would not fit: refused with the figures before they are
    // written, and nothing is left behind.
    void limits_data() {
        QTest::addColumn<Row>("row");
        // 6 h 56 min at 8 kHz mono passes 4 GiB at 44.1 kHz stereo; a 512 MiB TEMP holds the
        // decoded input but never the converted copy.
        QTest::newRow("8 kHz mono that passes 4 GiB at 44.1 kHz stereo") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 8000, 1, 400'000'000); },
            .setup = [](Place& p) { p.mountTemp("size=512m"); },
            .expect = kNoFile,
            .reason = "too long to be mixed with the second one"};
        // 2 min at 8 kHz mono decodes to 2 MiB and fits; at 44.1 kHz stereo it is 20 MiB.
        QTest::newRow("TEMP on a 16 MiB tmpfs, too small for the conversion") << Row{
            .one = [](Place& p) { return p.wav("low.wav", 8000, 1, 120, 0.8, Pcm::S16); },
            .setup = [](Place& p) { p.mountTemp("size=16m"); },
            .expect = kNoFile,
            .reason = "free space in $TEMP to mix the two files: bringing the first file "
                      "to 44100 Hz stereo and mixing takes|Set TEMP (or TMPDIR) to a folder"};
    }
    void limits() { run(); }

    // Closing the window while a long input is converted ends the program at once.
    void closeDuringConversion() {
        const QString root = base_.path() + "/closing";
        for (const QString& folder : {root + "/temp", root + "/config", root + "/out"})
            QVERIFY(QDir().mkpath(folder));
        // 40 min at 8 kHz mono: some seconds of conversion to 44.1 kHz stereo.
        const QString one = sparseWave(root + "/long.wav", 8000, 1, 40 * 60 * 16000);
        QVERIFY(!one.isEmpty());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TEMP", root + "/temp");
        env.insert("XDG_CONFIG_HOME", root + "/config");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess child;
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(root);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--close", one, files_.toneB, root + "/out/mixed.mp3"});
        QVERIFY(child.waitForFinished(120000));
        const qint64 ended = monotonicMs();
        const QByteArray said = child.readAllStandardOutput();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 (said + child.readAllStandardError().right(2000)).constData());
        bool number = false;
        const qint64 asked = said.trimmed().toLongLong(&number);
        QVERIFY2(number, said.constData());
        qInfo("the program ended %lld ms after the close", ended - asked);
        QVERIFY2(ended - asked < 500, qPrintable(QString::number(ended - asked)));
        QCOMPARE(QDir(root + "/temp").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(QDir(root + "/out").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
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
    TestFaults test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_faults.moc"
