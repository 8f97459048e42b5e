// The encoder run as a child process: arguments, outcome, waiting, and surviving our end.
#include "ChildProcess.h"
#include "Descriptor.h"
#include "Encode.h"
#include "Failure.h"
#include "JobFolder.h"
#include "Paths.h"
#include "Supervisor.h"
#include "TestSupport.h"
#include "WorkSpace.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>

using namespace blendora;

extern char** environ;

namespace {

const QString kLame = QStringLiteral(BLENDORA_LAME);

// MPEG-1 Layer III frame header fields of the first frame after any ID3v2 tag.
struct FrameHeader {
    int version = 0, layer = 0, kbps = 0, rate = 0;
};

FrameHeader firstFrame(const QByteArray& mp3) {
    qsizetype i = 0;
    if (mp3.startsWith("ID3") && mp3.size() > 10) {
        const auto b = [&](int k) { return quint32(quint8(mp3[k])) & 0x7f; };
        i = 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9));
    }
    for (; i + 4 <= mp3.size(); ++i) {
        const quint8 a = mp3[i], c = mp3[i + 1], d = mp3[i + 2];
        if (a != 0xff || (c & 0xe0) != 0xe0)
            continue;
        FrameHeader h;
        h.version = (c >> 3) & 3; // 3: MPEG-1
        h.layer = (c >> 1) & 3;   // 1: Layer III
        static const int kbps[] = {0,   32,  40,  48,  56,  64,  80, 96,
                                   112, 128, 160, 192, 224, 256, 320};
        h.kbps = kbps[((d >> 4) & 15) % 15];
        static const int rates[] = {44100, 48000, 32000, 0};
        h.rate = rates[(d >> 2) & 3];
        return h;
    }
    return {};
}

// How a child started from a path ended, with the last of its error output.
struct ChildRun : RunOutcome {
    QByteArray errorTail;
};

// Runs arguments[0] with the rest as its arguments (no shell), in a session of its own, its
// error output kept, through the wait the encoder's supervisor has.
ChildRun runChild(const QStringList& arguments) {
    ChildRun out;

    std::vector<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes.push_back(nativePath(a));
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);

    // The error output goes to an anonymous file rather than a pipe: should we end first, the
    // child writes on without a broken pipe ending it.
    UniqueFd errors(::memfd_create("child-errors", MFD_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (errors.get() >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errors.get(), 1);
        posix_spawn_file_actions_adddup2(&actions, errors.get(), 2);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> env = childEnvironment();
    RunAndWait(
        [&] {
            pid_t pid = 0;
            const int started =
                ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), env.data());
            errno = started;
            return started == 0 ? pid : pid_t(-1);
        },
        out);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    out.errorTail = tailOf(errors.get());
    return out;
}

// What came of an encode: the file at the name, or the person's words why not.
struct EncodeOutcome {
    bool ok = false;
    QString problem;
};

// An encode as the job makes it: the name taken first, a job folder in TEMP.
EncodeOutcome encode(const QString& encoder, const QString& wav, const QString& mp3) {
    try {
        OutputName name;
        name.take(mp3);
        JobFolder job;
        job.create();
        // The encoder is given a name in the job folder; a link there leads it to the test's WAV.
        QFile::link(QFileInfo(wav).absoluteFilePath(), job.path() + "/result.wav");
        struct stat mixed;
        ::lstat(QFile::encodeName(job.path() + "/result.wav").constData(), &mixed);
        QFile program(encoder);
        program.open(QIODevice::ReadOnly);
        EncodeWavToMp3(program.readAll(), job.file("result.wav"), mixed, name, job);
        return {true, {}};
    } catch (const Condition& c) {
        return {false, describe(c)};
    }
}

} // namespace

class TestEncode : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString wav_;

  private slots:
    void initTestCase() {
        QDir().mkpath(dir_.path() + "/temp");
        qputenv("TEMP", QFile::encodeName(dir_.path() + "/temp"));
        wav_ = dir_.path() + "/in.wav";
        test::writeToneWav(wav_, 44100, 2, 2.0, 440);
    }

    void writesAValidMp3WhereverAsked_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("existing");
        QTest::newRow("plain") << "out.mp3" << false;
        QTest::newRow("spaces and quote") << "my \"mix\" folder/it's here.mp3" << false;
        QTest::newRow("no extension") << "mixed" << false;
        QTest::newRow("over an existing file") << "old.mp3" << true;
        QTest::newRow("shell characters") << "a$b;c*d `e`\nf.mp3" << false;
    }

    void writesAValidMp3WhereverAsked() {
        QFETCH(QString, name);
        QFETCH(bool, existing);
        const QString out = dir_.path() + "/" + name;
        QDir().mkpath(QFileInfo(out).absolutePath());
        if (existing)
            test::writeAll(out, QByteArray(500000, 'x'));
        qputenv("LAMEOPT", "-b 320");
        const EncodeOutcome outcome = encode(kLame, wav_, out);
        qunsetenv("LAMEOPT");
        QVERIFY2(outcome.ok, qPrintable(outcome.problem));
        const QByteArray mp3 = test::readAll(out);
        QVERIFY(mp3.size() > 10000 && mp3.size() < 100000);
        // Exactly what lame writes to a named file, its Info tag included.
        const QString reference = dir_.path() + "/reference.mp3";
        if (!QFile::exists(reference))
            QVERIFY(test::run(kLame, {"--quiet", "-h", wav_, reference}));
        QVERIFY(mp3 == test::readAll(reference));
        const FrameHeader h = firstFrame(mp3);
        QCOMPARE(h.version, 3);
        QCOMPARE(h.layer, 1);
        QCOMPARE(h.kbps, 128);
        QCOMPARE(h.rate, 44100);
    }

    void relativeNameStartingWithDashIsAFile() {
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        const EncodeOutcome outcome = encode(kLame, wav_, "-V0");
        QDir::setCurrent(cwd);
        QVERIFY2(outcome.ok, qPrintable(outcome.problem));
        QVERIFY(QFileInfo(dir_.path() + "/-V0").size() > 10000);
    }

    void failuresAreKnownAndLeaveNothing() {
        // An output folder that does not exist.
        EncodeOutcome outcome = encode(kLame, wav_, dir_.path() + "/missing/out.mp3");
        QVERIFY(!outcome.ok);
        QVERIFY2(outcome.problem.contains("No such file or directory"),
                 qPrintable(outcome.problem));
        QVERIFY(!QFile::exists(dir_.path() + "/missing/out.mp3"));

        // A failed encode leaves an existing file exactly as it was, and no stray file.
        const QString kept = dir_.path() + "/kept/song.mp3";
        QDir().mkpath(dir_.path() + "/kept");
        test::writeAll(kept, "precious");
        outcome = encode(kLame, dir_.path() + "/gone.wav", kept);
        QVERIFY2(outcome.problem.contains("exit code"), qPrintable(outcome.problem));
        QCOMPARE(test::readAll(kept), QByteArray("precious"));
        QCOMPARE(QDir(dir_.path() + "/kept").entryList(QDir::Files | QDir::Hidden),
                 QStringList{"song.mp3"});

        // What is no file is never replaced.
        outcome = encode(kLame, wav_, "/dev/full");
        QVERIFY(outcome.problem.contains("not a file"));
        outcome = encode(kLame, wav_, dir_.path());
        QVERIFY(outcome.problem.contains("not a file"));
        QVERIFY(QFileInfo("/dev/full").exists() && !QFileInfo("/dev/full").isFile());

        // A WAV that is gone: the encoder fails and leaves no output.
        outcome = encode(kLame, dir_.path() + "/gone.wav", dir_.path() + "/bad.mp3");
        QVERIFY(!outcome.ok);
        QVERIFY(!QFile::exists(dir_.path() + "/bad.mp3"));

        // No encoder: the start fails, nothing runs.
        const ChildRun run =
            runChild({dir_.path() + "/no-lame", "-h", wav_, dir_.path() + "/x.mp3"});
        QCOMPARE(run.startError, ENOENT);
        QVERIFY(!run.started);
        // Bytes that are no program: the installed lame steps in.
        outcome = encode(dir_.path() + "/no-lame", wav_, dir_.path() + "/x.mp3");
        QVERIFY2(outcome.ok, qPrintable(outcome.problem));
    }

    void signalsAndErrorOutputAreReported() {
        const QString script = dir_.path() + "/crash.sh";
        test::writeAll(
            script, "#!/bin/sh\necho 'first line' >&2\necho 'disk on fire' >&2\nkill -SEGV $$\n");
        QFile::setPermissions(script, QFile::ReadOwner | QFile::ExeOwner);
        const ChildRun run = runChild({script});
        QCOMPARE(run.signal, SIGSEGV);
        QVERIFY(run.errorTail.contains("disk on fire"));
        const EncodeOutcome outcome = encode(script, wav_, dir_.path() + "/crash.mp3");
        QVERIFY(outcome.problem.contains("signal 11"));
        QVERIFY2(outcome.problem.endsWith("\r\ndisk on fire"),
                 qPrintable(QString(outcome.problem).replace("\r", "<CR>")));
    }

    void eventLoopRunsWhileWaitingAndTheEndIsNoticedSoon() {
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(10);
        // The same sleep waited for by the toolkit, its event loop free meanwhile: the ticks it
        // holds in this run.
        QProcess sleep;
        QEventLoop loop;
        connect(&sleep, &QProcess::finished, &loop, &QEventLoop::quit);
        sleep.start("/bin/sleep", {"0.5"});
        loop.exec();
        const int plain = ticks;
        ticks = 0;
        QCOMPARE(runChild({"/bin/sleep", "0.5"}).exitCode, 0);
        // The window answers while it waits, not once a poll comes round: a third of those
        // ticks; and the wait ends with the child: not twice as many.
        QVERIFY2(
            ticks * 3 >= plain && ticks < plain * 2,
            qPrintable(QStringLiteral("%1 ticks, %2 with the loop free").arg(ticks).arg(plain)));
        QCOMPARE(runChild({"/bin/sh", "-c", "exit 3"}).exitCode, 3);
        // Started by someone who ignores SIGCHLD: the child is reaped unseen, and that is no
        // success.
        std::signal(SIGCHLD, SIG_IGN);
        const int unseen = runChild({"/bin/sh", "-c", "exit 3"}).exitCode;
        std::signal(SIGCHLD, SIG_DFL);
        QVERIFY(unseen != 0);
    }

    // Whoever reaches the encoder's anonymous file by its name in /proc cannot change it
    // before it runs.
    void encoderInMemoryCannotBeChanged() {
        int error = 0;
        const UniqueFd fd(encoderInMemory("#!/bin/sh\nexit 0\n", error));
        QVERIFY(fd.valid());
        const UniqueFd other(
            ::open(qPrintable(QStringLiteral("/proc/self/fd/%1").arg(fd.get())), O_RDWR));
        QVERIFY(other.valid());
        QCOMPARE(::pwrite(other.get(), "x", 1, 0), -1);
        QCOMPARE(::ftruncate(other.get(), 0), -1);
    }

    void encoderOutlivesTheProgramThatStartedIt() {
        const QString longWav = dir_.path() + "/long.wav";
        test::writeToneWav(longWav, 44100, 2, 120.0, 330);
        const QString folder = dir_.path() + "/survivor";
        QDir().mkpath(folder);
        const QString out = folder + "/survivor.mp3";
        QProcess parent;
        parent.start(QCoreApplication::applicationFilePath(), {"--encode", longWav, out});
        QVERIFY(parent.waitForStarted());
        // Once the encoder is writing, end its parent at once.
        QElapsedTimer clock;
        clock.start();
        const QString temp = qEnvironmentVariable("TEMP");
        auto written = [&] {
            const QStringList jobs = QDir(temp).entryList({"blendora-job-*"}, QDir::Dirs);
            return jobs.isEmpty() ? 0 : QFileInfo(temp + "/" + jobs.first() + "/result.mp3").size();
        };
        while (written() < 100000 && clock.elapsed() < 10000)
            QTest::qWait(10);
        ::kill(pid_t(parent.processId()), SIGKILL);
        parent.waitForFinished();
        QVERIFY(!QFile::exists(out));
        // The orphan finishes the file and gives it its name.
        for (int i = 0; i < 200 && !QFile::exists(out); ++i)
            QTest::qWait(100);
        QVERIFY2(QFileInfo(out).size() > 1800000,
                 qPrintable(QString::number(QFileInfo(out).size())));
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{"survivor.mp3"});
        for (int i = 0; i < 50 && !QDir(temp).isEmpty(); ++i)
            QTest::qWait(100);
        QCOMPARE(QDir(temp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // lame on a full disk says only "Error writing mp3 output": the message names the folder.
    void encoderOnAFullTemporaryDiskNamesIt() {
        if (::geteuid() != 0)
            TEST_SKIP("mounting a tmpfs needs root");
        const QString full = dir_.path() + "/full";
        QDir().mkpath(full);
        if (::mount("tmpfs", QFile::encodeName(full).constData(), "tmpfs", 0, "size=64k") != 0)
            TEST_SKIP("this machine does not allow mounting a tmpfs");
        const auto unmount =
            qScopeGuard([&] { ::umount2(QFile::encodeName(full).constData(), MNT_DETACH); });
        test::writeAll(full + "/filler", QByteArray(60 * 1024, 'f'));
        const QByteArray temp = qgetenv("TEMP");
        qputenv("TEMP", QFile::encodeName(full));
        const EncodeOutcome outcome = encode(kLame, wav_, dir_.path() + "/unmade.mp3");
        qputenv("TEMP", temp);
        QCOMPARE(outcome.problem, "There is not enough free space in " + full +
                                      " to encode the mix." + kOtherWorkFolder);
        QCOMPARE(QDir(full).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), {"filler"});
    }

    void encoderWordsAreOneCleanLine_data() {
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<QString>("words");
        // What lame writes when its disk fills: statistics, cursor moves, then the error.
        QTest::newRow("lame on a full disk")
            << QByteArray("   kbps        MS  %     long switch short %\x1b[K\n  128.0      100.0"
                          "        99.6   0.2   0.1\x1b[K\x1b[A\x1b[A\x1b[A\r   500/767    (65%)|"
                          "    0:00/    0:00|    0:01/    0:02|   59.575x|    0:00 \n-------00:06"
                          "----\x1b[K\n  128.0      100.0        99.7   0.2   0.1\x1b[KError "
                          "writing mp3 output \n")
            << "Error writing mp3 output";
        QTest::newRow("plain lines") << QByteArray("first\r\nlast\tline\n\n") << "last line";
        QTest::newRow("progress only")
            << QByteArray("   100/767    (13%)|    0:00/    0:00|\r  200/767 ") << "";
    }

    void encoderWordsAreOneCleanLine() {
        QFETCH(QByteArray, tail);
        QFETCH(QString, words);
        QCOMPARE(encoderLastWords(tail), words);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--encode")
        return encode(kLame, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3])).ok
                   ? 0
                   : 1;
    TestEncode test;
    return blendora::test::finish(QTest::qExec(&test, argc, argv));
}

#include "test_encode.moc"
