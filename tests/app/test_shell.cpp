// Settings store, application title, home-page draw and the shared file helpers.
#include "AppTitle.h"
#include "Descriptor.h"
#include "Failure.h"
#include "File.h"
#include "Folders.h"
#include "HomePage.h"
#include "JobFolder.h"
#include "Leftovers.h"
#include "Paths.h"
#include "ProgramEnd.h"
#include "Settings.h"
#include "TestSupport.h"
#include "WorkFolder.h"

#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace blendora;

// What the job records in the folder it made, as `name`.
void record(const QString& folder, const QString& name) {
    const UniqueFd fd(::open(QFile::encodeName(folder).constData(), O_RDONLY));
    QVERIFY(recordMade(fd.get(), QFile::encodeName(name).constData()));
}

// The person's own folders named as ours are, one of them a job folder renamed to keep it (its
// record names `stale`): no record names them so, and they stay with what they hold.
QStringList personsFolders(const QString& temp, qint64 gone, const QString& stale) {
    QStringList persons;
    for (const char* suffix : {"backup", "keepme", "kept00"}) {
        persons << temp + QString("/blendora-job-%1-%2").arg(gone).arg(suffix);
        QDir().mkpath(persons.last());
        ::chmod(QFile::encodeName(persons.last()).constData(), 0755);
        test::writeAll(persons.last() + "/notes.txt", "mine");
    }
    record(persons.last(), QFileInfo(stale).fileName());
    return persons;
}

class TestShell : public QObject {
    Q_OBJECT

    QTemporaryDir config_;

  private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config_.path().toUtf8()); }

    void appTitleCutsWordsUntilItFits() {
        QCOMPARE(shortenedTitle(QStringLiteral("Blendora")), QStringLiteral("Blendora"));
        QCOMPARE(shortenedTitle(QStringLiteral("Easy Audio Mixer")), QStringLiteral("Easy Audio"));
        // 50 characters, spaces at positions 38 and 45 (1-based): cut twice to 37.
        const QString title = QString(37, 'a') + ' ' + QString(6, 'b') + ' ' + QString(5, 'c');
        QCOMPARE(title.size(), 50);
        QCOMPARE(shortenedTitle(title), QString(37, 'a'));
        SetAppTitle(QStringLiteral("Blendora"));
        QCOMPARE(appTitle(), QStringLiteral("Blendora"));
    }

    void settingsRoundTripAndReachTheDiskAtOnce() {
        QCOMPARE(GetSetting(kMakerName, kProductTitle, "Text1", ""), QString());
        const QString path = QStringLiteral("/home/ana/Müsik/my song ♫.mp3");
        SaveSetting(kMakerName, kProductTitle, "Text1", path);
        QCOMPARE(GetSetting(kMakerName, kProductTitle, "Text1", ""), path);
        // Written through: another process reading now sees it.
        const QString file = config_.path() + "/Quorvane.ini";
        QVERIFY2(QFile::exists(file), qPrintable(QDir(config_.path()).entryList().join(',')));
        QCOMPARE(QFileInfo(file).permissions() & 0x7077, QFileDevice::Permissions(0x6000));
        QSettings fresh(file, QSettings::IniFormat);
        QCOMPARE(fresh.value("Blendora/Text1").toString(), path);
        SaveSetting(kMakerName, kProductTitle, "Text1", QString());
        QCOMPARE(GetSetting(kMakerName, kProductTitle, "Text1", "x"), QString());
        // A replaced file keeps the mode its owner gave it; a folder named like our scratch
        // folders but not recorded as one is the person's, and keeps what it holds.
        QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner |
                                                QFile::ReadGroup | QFile::ReadOther));
        const QString lookAlike = config_.path() + "/.Quorvane.ini-backup";
        QVERIFY(QDir().mkpath(lookAlike));
        QVERIFY(QFile::setPermissions(lookAlike,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        test::writeAll(lookAlike + "/notes.txt", "mine\n");
        // Nor does a lock file of another user's that names it.
        if (::geteuid() != 0)
            TEST_SKIP(
                "the rest needs a lock file and a folder of another user's: only root makes them");
        const QString lock = file + ".lock";
        test::writeAll(lock, ".Quorvane.ini-backup");
        // Closed to others as ours are: only its owner tells it from ours.
        QVERIFY(::chmod(QFile::encodeName(lock).constData(), 0600) == 0);
        QVERIFY(::chown(QFile::encodeName(lock).constData(), 65534, 65534) == 0);
        SaveSetting(kMakerName, kProductTitle, "Text2", path);
        RemoveStaleSettingsScratch();
        QCOMPARE(QFileInfo(file).permissions() & 0x7077, QFileDevice::Permissions(0x6044));
        QCOMPARE(test::readAll(lookAlike + "/notes.txt"), QByteArray("mine\n"));
        QVERIFY(QFile::remove(lock));
        // One our lock file names, but another user's, is theirs.
        const QString foreign = config_.path() + "/.Quorvane.ini-NoBody";
        QVERIFY(QDir().mkpath(foreign));
        QVERIFY(::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0);
        test::writeAll(lock, ".Quorvane.ini-NoBody");
        QVERIFY(::chmod(QFile::encodeName(lock).constData(), 0600) == 0);
        RemoveStaleSettingsScratch();
        QVERIFY(QFileInfo::exists(foreign));
        // Nor, in our own lock file, a longer name: ours have six letters after the dash.
        const QString longer = config_.path() + "/.Quorvane.ini-backup1";
        QVERIFY(QDir().mkpath(longer));
        QVERIFY(QFile::remove(lock));
        test::writeAll(lock, ".Quorvane.ini-backup1");
        QVERIFY(::chmod(QFile::encodeName(lock).constData(), 0600) == 0);
        RemoveStaleSettingsScratch();
        QVERIFY(QFileInfo::exists(longer));
    }

    // What stands at the settings' name and cannot be used: what the start is told (a fault of
    // ours, or plainly when the person can act on it) and what a write throws or says it did,
    // each naming the file (%1) and why.
    void settingsThatCannotBeUsedSayWhichFileAndWhy_data() {
        QTest::addColumn<std::function<void(const QString&)>>("setup");
        QTest::addColumn<QString>("read");
        QTest::addColumn<bool>("readPlainly");
        QTest::addColumn<QString>("written"); // thrown, or told when it starts with "+"
        const QString notRead = "The settings file %1 cannot be read: ";
        const QString notWritten = "The settings file %1 cannot be written: ";
        const QString held = "The settings file %1 held something other than settings. Blendora ";
        QTest::newRow("a folder") << std::function([](const QString& f) { QDir().mkpath(f); })
                                  << notRead + "it is not a file." << false
                                  << notWritten + errnoText(EISDIR) + ".";
        QTest::newRow("a FIFO") << std::function([](const QString& f) {
            ::mkfifo(QFile::encodeName(f).constData(), 0600);
        }) << notRead + "it is not a file."
                                << false
                                << "+" + held + "has rewritten it, to remember the two files.";
        QTest::newRow("a link") << std::function([](const QString& f) {
            test::writeAll(f + ".target", "[Blendora]\nText1=/a.mp3\n");
            QFile::link(f + ".target", f);
        }) << notRead + "it is a link."
                                << false
                                << "+" + held + "has rewritten it, to remember the two files.";
        QTest::newRow("1 MiB and a byte") << std::function([](const QString& f) {
            test::writeAll(f, QByteArray((1 << 20) + 1, 'x'));
        }) << notRead + "it is larger than 1024 KiB."
                                          << false
                                          << notWritten + "it is larger than 1024 KiB, and "
                                                          "Blendora leaves what it cannot read "
                                                          "as it is.";
        QTest::newRow("prose") << std::function([](const QString& f) {
            test::writeAll(f, "Nothing here is a setting.\n");
        }) << held + "kept it as %1.broken and starts a fresh one."
                               << true
                               << "+" + held +
                                      "kept it as %1.broken and has started a fresh "
                                      "one, to remember the two files.";
    }

    void settingsThatCannotBeUsedSayWhichFileAndWhy() {
        QFETCH(std::function<void(const QString&)>, setup);
        QFETCH(QString, read);
        QFETCH(bool, readPlainly);
        QFETCH(QString, written);
        const QByteArray config = qgetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", config); });
        for (const bool writing : {false, true}) {
            QTemporaryDir dir;
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
            const QString file = dir.path() + "/Quorvane.ini";
            setup(file);
            QString told;
            bool plainly = false;
            try {
                told = "+" + (writing ? SaveSetting(kMakerName, kProductTitle, "Text1", "/b.mp3")
                                      : GetSetting(kMakerName, kProductTitle, "Text1"));
            } catch (const Failure& e) {
                told = describe(e);
                plainly = dynamic_cast<const Condition*>(&e) != nullptr;
            }
            QCOMPARE(told, (writing ? written : read).arg(file));
            if (!writing)
                QCOMPARE(plainly, readPlainly);
        }
    }

    // Without a home there is nowhere of ours to write: root must not make /.config.
    void withoutHomeNothingIsWritten() {
        const QByteArray home = qgetenv("HOME"), config = qgetenv("XDG_CONFIG_HOME");
        qunsetenv("HOME");
        qunsetenv("XDG_CONFIG_HOME");
        const auto restore = qScopeGuard([&] {
            qputenv("HOME", home);
            qputenv("XDG_CONFIG_HOME", config);
        });
        const bool existed = QFileInfo::exists("/.config/Quorvane.ini");
        QVERIFY_THROWS_EXCEPTION(Failure, SaveSetting(kMakerName, kProductTitle, "Text1", "/a"));
        QCOMPARE(GetSetting(kMakerName, kProductTitle, "Text1", "none"), QStringLiteral("none"));
        QCOMPARE(QFileInfo::exists("/.config/Quorvane.ini"), existed);
    }

    void homePageOpensOnlyOnSeven() {
        for (int n = 1; n <= 100; ++n) {
            blendora::test::RecordingShell shell;
            const double r = (n - 1) / 100.0 + 0.001;
            OpenHomePageAtRandom([r] { return r; }, shell);
            QCOMPARE(shell.urls.size(), n == 7 ? 1 : 0);
        }
    }

    void fileIsPresentNeverThrows() {
        QTemporaryDir dir;
        QVERIFY(FileIsPresent(dir.path()));
        QVERIFY(!FileIsPresent(dir.path() + "/missing"));
        QVERIFY(!FileIsPresent(QString()));
        QVERIFY(!FileIsPresent(QString::fromLatin1("bad\0name", 8)));
    }

    void staleJobFoldersOfEndedRunsGo() {
        QTemporaryDir temp;
        QProcess ended;
        ended.start("/bin/true");
        QVERIFY(ended.waitForStarted());
        const qint64 gone = ended.processId();
        QVERIFY(ended.waitForFinished());
        const QString stale = temp.filePath(QString("blendora-job-%1-AbC123").arg(gone));
        const QString running = temp.filePath(QString("blendora-job-%1-xYz789").arg(::getppid()));
        const QString other = temp.filePath(QString("blendora-job-%1-notours").arg(gone));
        for (const QString& dir : {stale, running, other})
            QVERIFY(QDir().mkpath(dir + "/inner"));
        const QStringList persons = personsFolders(temp.path(), gone, stale);
        // A link named like a job folder is never followed.
        QTemporaryDir elsewhere;
        test::writeAll(elsewhere.filePath("keep"), "x");
        const QString link = temp.filePath(QString("blendora-job-%1-LiNk00").arg(gone));
        QVERIFY(QFile::link(elsewhere.path(), link));
        // The file a killed job had begun beside its output goes with it, whoever root gave it
        // to once made; one that is no longer the file it made (a link put there) stays.
        QTemporaryDir out;
        const QString begun = out.filePath(".blendora-AbC123.mp3");
        const QString given = out.filePath(".blendora-GiVen1.mp3");
        const QString replaced = out.filePath(".blendora-xYz789.mp3");
        test::writeAll(begun, "half");
        test::writeAll(given, "whole");
        ::chown(QFile::encodeName(given).constData(), 65534, 65534);
        struct stat made;
        QVERIFY(::stat(QFile::encodeName(given).constData(), &made) == 0);
        QVERIFY(QFile::link(elsewhere.filePath("keep"), replaced));
        // Nor does a folder of ours the record names though no save would (a damaged record), or
        // a newer file on the same disk.
        const QString mine = out.filePath("mine"), newer = out.filePath(".blendora-NeWer1.mp3");
        QVERIFY(QDir().mkpath(mine));
        test::writeAll(mine + "/notes.txt", "mine");
        test::writeAll(newer, "newer");
        const QString other2 = temp.filePath(QString("blendora-job-%1-OtHer2").arg(gone));
        const QString other3 = temp.filePath(QString("blendora-job-%1-OtHer3").arg(gone));
        const QString other4 = temp.filePath(QString("blendora-job-%1-OtHer4").arg(gone));
        const QString other5 = temp.filePath(QString("blendora-job-%1-OtHer5").arg(gone));
        const QByteArray device = QByteArray::number(quint64(made.st_dev));
        const QByteArray id = device + ':' + QByteArray::number(quint64(made.st_ino));
        for (const auto& [folder, name, recorded] : {std::tuple{stale, begun, QByteArray()},
                                                     {other2, replaced, QByteArray("1:1")},
                                                     {other3, given, id},
                                                     {other4, mine, QByteArray()},
                                                     {other5, newer, device + ":1"}}) {
            QVERIFY(QDir().mkpath(folder));
            record(folder, QFileInfo(folder).fileName());
            test::writeAll(folder + "/" + kOutsideRecord,
                           QFile::encodeName(out.path()) + '\0' +
                               QFile::encodeName(QFileInfo(name).fileName()) + '\0' + recorded);
        }
        // One whose program is gone but whose encoder still runs, holding it.
        const QString held = temp.filePath(QString("blendora-job-%1-HeLd00").arg(gone));
        QVERIFY(QDir().mkpath(held));
        record(held, QFileInfo(held).fileName());
        record(running, QFileInfo(running).fileName());
        const int hold = ::open(QFile::encodeName(held).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(hold >= 0 && ::flock(hold, LOCK_SH) == 0);
        // Another user's, named as ours are: root leaves it.
        const QString foreign = temp.filePath(QString("blendora-job-%1-NoBody").arg(gone));
        QVERIFY(QDir().mkpath(foreign));
        record(foreign, QFileInfo(foreign).fileName());
        QVERIFY(::geteuid() != 0 ||
                ::chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0);
        JobFolder own;
        qputenv("TEMP", temp.path().toUtf8());
        own.create();
        RemoveStaleJobFolders(temp.path());
        QVERIFY2(!QFileInfo::exists(stale), qPrintable(QDir(temp.path()).entryList().join(' ')));
        QVERIFY(QFileInfo::exists(running));
        QVERIFY(QFileInfo::exists(other));
        QVERIFY(QFileInfo::exists(own.path()));
        QVERIFY(QFileInfo::exists(elsewhere.filePath("keep")));
        QVERIFY(!QFileInfo::exists(other2) && !QFileInfo::exists(other3));
        QVERIFY(QFileInfo::exists(held));
        for (const QString& folder : persons)
            QCOMPARE(test::readAll(folder + "/notes.txt"), QByteArray("mine"));
        ::close(hold);
        QCOMPARE(
            QDir(out.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
            (QStringList{".blendora-NeWer1.mp3", ".blendora-xYz789.mp3", "mine"}));
        QCOMPARE(test::readAll(mine + "/notes.txt"), QByteArray("mine"));
        QCOMPARE(QFileInfo(own.path()).permissions() & 0x0077, QFile::Permissions());
        own.remove();
        qunsetenv("TEMP");
        if (::geteuid() != 0)
            TEST_SKIP("another user's folder named as ours: only root makes one");
        QVERIFY(QFileInfo::exists(foreign));
    }

    // A name already taken in the job folder (a hard link to a file of the user's, left there
    // by anything that runs as the user) is never written through: job files are made afresh.
    void jobFilesAreMadeAfresh() {
        QTemporaryDir temp;
        qputenv("TEMP", temp.path().toUtf8());
        JobFolder job;
        job.create();
        const QString kept = temp.filePath("kept");
        test::writeAll(kept, "the user's own");
        QCOMPARE(::link(QFile::encodeName(kept).constData(),
                        QFile::encodeName(job.file("temp1.wav").path).constData()),
                 0);
        bool refused = false;
        try {
            File file;
            file.open(job.file("temp1.wav"), File::Replace);
        } catch (const Failure&) {
            refused = true;
        }
        QVERIFY(refused);
        QCOMPARE(test::readAll(kept), QByteArray("the user's own"));
        // Nor is a link there ever followed, even to read.
        QVERIFY(QFile::link(kept, job.file("temp2.wav").path));
        File linked;
        QVERIFY_THROWS_EXCEPTION(Failure, linked.open(job.file("temp2.wav"), File::Read));
        job.remove();
        qunsetenv("TEMP");
    }

    // A record armed again while a signal comes is found whole by its clean-up, which runs
    // before the signal ends the program as it asks.
    void endRecordsHoldAgainstSignals() {
        for (int attempt = 0; attempt < 40; ++attempt) {
            QTemporaryDir dir;
            const QString scratch = dir.filePath("scratch");
            QVERIFY(QDir().mkpath(scratch));
            test::writeAll(scratch + "/settings.ini", "x");
            int ready[2];
            QVERIFY(::pipe(ready) == 0);
            const pid_t child = ::fork();
            if (child == 0) {
                takeOverSignals();
                disarmEnd(EndSlot::Job);
                const int parent = ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY);
                const int folder = ::open(QFile::encodeName(scratch).constData(), O_RDONLY);
                armEnd(EndSlot::Settings, EndTask::Scratch, parent, folder, "scratch");
                (void)!::write(ready[1], "r", 1);
                for (;;)
                    armEnd(EndSlot::Settings, EndTask::Scratch, parent, folder, "scratch");
            }
            char byte;
            QVERIFY(::read(ready[0], &byte, 1) == 1);
            ::close(ready[0]);
            ::close(ready[1]);
            ::usleep(useconds_t(attempt * 50));
            ::kill(child, SIGTERM);
            int status = 0;
            for (int i = 0; i < 200 && ::waitpid(child, &status, WNOHANG) == 0; ++i)
                ::usleep(10000);
            if (::kill(child, SIGKILL) == 0)
                ::waitpid(child, &status, 0);
            QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM,
                     "the program went on after SIGTERM");
            QVERIFY2(!QFileInfo::exists(scratch), "a record armed again was lost to a signal");
        }
    }

    void descriptorHelpersSeeThrough() {
        QTemporaryDir dir;
        const QString file = dir.filePath("file");
        test::writeAll(file, "x");
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0);
        const UniqueFd folder(::open(QFile::encodeName(dir.path()).constData(), O_RDONLY));
        QVERIFY(namesFile(folder.get(), "file", st.st_dev, st.st_ino));
        // The same inode number on another disk is another file.
        QVERIFY(!namesFile(folder.get(), "file", st.st_dev + 1, st.st_ino));
        // A write cut short by the file size limit is a failure, not a whole write.
        struct rlimit old;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        struct rlimit small = old;
        small.rlim_cur = 4096;
        const auto before = std::signal(SIGXFSZ, SIG_IGN);
        const UniqueFd fd(::open(QFile::encodeName(file).constData(), O_WRONLY | O_TRUNC));
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const QByteArray bytes(10000, 'b');
        const bool written = writeAll(fd.get(), bytes.constData(), std::size_t(bytes.size()));
        const int error = errno;
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, before);
        QVERIFY(!written);
        QCOMPARE(error, EFBIG);
        QCOMPARE(QFileInfo(file).size(), 4096); // the short write took place
        // Free space is what an ordinary user may still write: the blocks kept for root count
        // only where asked for. Where this disk keeps none the two cannot be told apart.
        struct statvfs vfs;
        QVERIFY(::fstatvfs(folder.get(), &vfs) == 0);
        const auto reserve = vfs.f_bfree - vfs.f_bavail, half = vfs.f_bavail + reserve / 2;
        if (reserve > 65536) {
            QVERIFY(freeBytes(folder.get()) < std::int64_t(half * vfs.f_frsize));
            QVERIFY(freeBytes(folder.get(), true) > std::int64_t(half * vfs.f_frsize));
        }
    }

    void temporaryFolderFallsBack() {
        qputenv("TEMP", "/var/tmp/t");
        qputenv("TMPDIR", "/x");
        QCOMPARE(temporaryFolder(), QStringLiteral("/var/tmp/t"));
        qputenv("TEMP", "");
        QCOMPARE(temporaryFolder(), QStringLiteral("/x"));
        qunsetenv("TEMP");
        qunsetenv("TMPDIR");
        QCOMPARE(temporaryFolder(), QStringLiteral("/tmp"));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TestShell suite;
    return test::finish(QTest::qExec(&suite, argc, argv));
}
#include "test_shell.moc"
