// Settings store, application title, home-page draw and the shared file helpers.
#include "AppTitle.h"
#include "Failure.h"
#include "File.h"
#include "HomePage.h"
#include "JobFolder.h"
#include "Leftovers.h"
#include "Paths.h"
#include "Settings.h"
#include "TestSupport.h"
#include "WorkFolder.h"

#include <QtTest>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace blendora;

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
        SaveSetting(kMakerName, kProductTitle, "Text2", path);
        RemoveStaleSettingsScratch();
        QCOMPARE(QFileInfo(file).permissions() & 0x7077, QFileDevice::Permissions(0x6044));
        QCOMPARE(test::readAll(lookAlike + "/notes.txt"), QByteArray("mine\n"));
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
        const QString other2 = temp.filePath(QString("blendora-job-%1-OtHer2").arg(gone));
        const QString other3 = temp.filePath(QString("blendora-job-%1-OtHer3").arg(gone));
        const QByteArray id = QByteArray::number(quint64(made.st_dev)) + ':' +
                              QByteArray::number(quint64(made.st_ino));
        for (const auto& [folder, name, recorded] : {std::tuple{stale, begun, QByteArray()},
                                                     {other2, replaced, QByteArray("1:1")},
                                                     {other3, given, id}}) {
            QVERIFY(QDir().mkpath(folder));
            test::writeAll(folder + "/" + kOutsideRecord,
                           QFile::encodeName(out.path()) + '\0' +
                               QFile::encodeName(QFileInfo(name).fileName()) + '\0' + recorded);
        }
        // One whose program is gone but whose encoder still runs, holding it.
        const QString held = temp.filePath(QString("blendora-job-%1-HeLd00").arg(gone));
        QVERIFY(QDir().mkpath(held));
        const int hold = ::open(QFile::encodeName(held).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(hold >= 0 && ::flock(hold, LOCK_SH) == 0);
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
        ::close(hold);
        QCOMPARE(
            QDir(out.path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
            QStringList{".blendora-xYz789.mp3"});
        QCOMPARE(QFileInfo(own.path()).permissions() & 0x0077, QFile::Permissions());
        own.remove();
        qunsetenv("TEMP");
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
        job.remove();
        qunsetenv("TEMP");
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

QTEST_GUILESS_MAIN(TestShell)
#include "test_shell.moc"
