// Settings that cannot be written or read, two copies at once, a write killed, a lock held.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestSettings : public Suite {
    Q_OBJECT

  public:
    TestSettings() { makesFiles_ = false; }

  private slots:
    // Settings that cannot be written or read: typing goes on, the program keeps running, and
    // one plain message names the settings file. Each answers the file the message must name, or
    // nothing where no message is due.
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
        QTest::newRow("settings file is a folder") << std::function([](Place& p) {
            QDir().mkpath(p.root + "/config/Quorvane.ini");
            return p.root + "/config/Quorvane.ini";
        }) << false << QString() << true << AfterFiles();
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
        // A read of the settings that fails, or comes up short (the file cut meanwhile), as
        // strace makes every read of it: told at start, and the file is never replaced.
        for (const auto& [what, injected] : {std::pair{"fails", "inject=read:error=EIO"},
                                             {"comes up short", "inject=read:retval=0"}})
            QTest::addRow("settings file whose read %s", what)
                << std::function([keys, injected](Place& p) {
                       const QString file = p.root + "/config/Quorvane.ini";
                       test::writeAll(file, "[Blendora]" + keys);
                       p.wrapper = {"strace", "-f", "-qq",        "-o", "/dev/null", "-P",
                                    file,     "-e", "trace=read", "-e", injected};
                       return file;
                   })
                << false << QString() << true
                << AfterFiles{{"config/Quorvane.ini", "[Blendora]" + keys}};
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
    void settings() { runSettings(); }

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
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            FAULT_SKIP("strace holds the writer for its TERM: it is not installed");
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
            FAULT_SKIP("strace counts the tries at the lock: it is not installed");
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
        QVERIFY2(
            seen.size() == 1 && seen[0].toObject()["kind"].toInt() == Prompt::Notice &&
                seen[0].toObject()["text"].toString().contains("another program holds its lock"),
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
};

BLENDORA_FAULTS_MAIN(TestSettings)

#include "test_settings.moc"
