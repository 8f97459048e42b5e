// The output's name while the job runs: edited, moved, a late encoder, a killed saver.
#include "Harness.h"
#include "Leftovers.h"

#include <sys/syscall.h>

using namespace blendora;
using namespace blendora::faults;

class TestOutputName : public Suite {
    Q_OBJECT

  private slots:
    // The output's name in folders others can write: links planted at it, the temporary file
    // swapped, a late encoder, another user's modes, a kill, a full disk.
    void outputName_data() {
        QTest::addColumn<Row>("row");
        const QStringList mixed{"mixed.mp3"};
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
                           if (::utimensat(AT_FDCWD, out.constData(), times, 0) == 0)
                               p.did << "edited the output in place, its time put back";
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

        // The window is closed during the encode (or the program ended by `signal`, to its whole
        // process group when `group`, as a terminal's hang-up or Ctrl-C is), the program started
        // again; the encoder ends later.
        auto late = [](bool newer, int signal = SIGKILL, bool group = false) {
            return [newer, signal, group](Place& p, QProcess& job) {
                if (!waitFor(job, p.root + "/supervisor"))
                    return false;
                if (::kill(pid_t(group ? -job.processId() : job.processId()), signal) == 0)
                    p.did << QStringLiteral("ended the program%1 with signal %2 during the encode")
                                 .arg(group ? " and its group" : "")
                                 .arg(signal);
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
        QTest::newRow("late encoder, name untouched: the mix arrives")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .during = late(false),
                   .check = [=](Place& p,
                                const QString&) { return leftAtOutput(p, mixed, Snapshot::File); }};
        QTest::newRow("late encoder after SIGTERM to the program's group: the mix arrives")
            << Row{.setup =
                       [](Place& p) {
                           p.env.insert("ROW", p.root);
                           p.wrapper = {"setsid"};
                       },
                   .encoder = kGatedLame,
                   .during = late(false, SIGTERM, true),
                   .check = [=](Place& p,
                                const QString&) { return leftAtOutput(p, mixed, Snapshot::File); }};
        QTest::newRow("late encoder against a newer file: the newer stays")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .during = late(true),
                   .check =
                       [=](Place& p, const QString&) {
                           return test::readAll(p.out + "/mixed.mp3") == "a newer mix\n"
                                      ? leftAtOutput(p, mixed, Snapshot::File)
                                      : QStringList{"the late mix replaced the newer file"};
                       }};

        // The saver held by strace at its first `call` (or as `injected` says) until `reached`,
        // then killed: alone, or with everything of the session, after which one start follows.
        // Or, given `instead`, that is done to it, and the job goes on.
        const auto killSaver = [](const QString& call, std::function<bool(Place&)> reached,
                                  bool everything = false, QStringList injected = {},
                                  std::function<QString(Place&)> instead = {}) {
            if (injected.isEmpty())
                injected << "inject=" + call + ":delay_enter=5000000";
            return [=](Place& p, QProcess& job) {
                if (!waitFor(job, p.root + "/supervisor"))
                    return false;
                QProcess tracer;
                const bool held = traceSaver(p, tracer, call, injected);
                const QString supervisor =
                    QString::fromLatin1(test::readAll(p.root + "/supervisor").trimmed());
                while (!reached(p))
                    if (job.waitForFinished(5))
                        return false;
                if (instead) {
                    if (const QString done = instead(p); !done.isEmpty())
                        p.did << done + (held ? " held by strace at " + call : QString());
                    tracer.kill();
                    tracer.waitForFinished();
                    return false;
                }
                if (::kill(everything ? -supervisor.toInt() : supervisor.toInt(), SIGKILL) == 0)
                    p.did << "killed the " + QString(everything ? "session" : "saver") +
                                 (held ? " held by strace at " + call : " (strace never held it)");
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
        // The saver stands in `call`, which strace holds: /proc says which call a process is in.
        const auto inCall = [](Place& p, long call) {
            const QString saver =
                QString::fromLatin1(test::readAll(p.root + "/supervisor").trimmed());
            return test::readAll("/proc/" + saver + "/syscall")
                .startsWith(QByteArray::number(call) + ' ');
        };
        const auto saving = [](Place& p) {
            return !QDir(p.out).entryList({".blendora-*"}, QDir::Dirs | QDir::Hidden).isEmpty();
        };
        const auto renaming = [=](Place& p) { return saving(p) && inCall(p, SYS_renameat2); };
        QTest::newRow("everything killed during the save, then a start") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .during = killSaver("renameat2", renaming, true),
            .check = [=](Place& p, const QString&) { return leftAtOutput(p, {}, Snapshot::None); },
            .attack = "held by strace",
            .strace = true};
        QTest::newRow("everything killed as the save's folder is made, then a start") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .during = killSaver("mkdirat", saving, true, {"inject=mkdirat:delay_exit=5000000"}),
            .check = [=](Place& p, const QString&) { return leftAtOutput(p, {}, Snapshot::None); },
            .attack = "held by strace",
            .strace = true};
        QTest::newRow("saver killed during its save")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .expect = kNoFile,
                   .reason = "save was stopped by signal 9",
                   .during = killSaver("renameat2", renaming),
                   .attack = "held by strace",
                   .strace = true};
        QTest::newRow("saver killed after its rename, before its report")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .during = killSaver("getdents64",
                                       [=](Place& p) {
                                           return QFile::exists(p.out + "/mixed.mp3") &&
                                                  inCall(p, SYS_getdents64);
                                       }),
                   .attack = "held by strace",
                   .strace = true};
        // Where the name cannot be taken by a rename or a link (FAT through FUSE), the copy made
        // at it is the mix only once it is whole: killed before, it is no "Done." and it goes.
        QTest::newRow("saver killed while it copies to the name") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = kGatedLame,
            .expect = kNoFile,
            .reason = "save was stopped by signal 9",
            .during = killSaver("fsync,renameat2,linkat",
                                [=](Place& p) {
                                    return QFile::exists(p.out + "/mixed.mp3") &&
                                           inCall(p, SYS_fsync);
                                },
                                false,
                                {"inject=renameat2:error=EINVAL", "inject=linkat:error=EPERM",
                                 "inject=fsync:delay_enter=5000000:when=2"}),
            .attack = "held by strace",
            .strace = true};
        // Another process of the person's cuts the encoded mix while the saver copies it.
        QTest::newRow("encoded mix cut while the saver copies it")
            << Row{.setup = [](Place& p) { p.env.insert("ROW", p.root); },
                   .encoder = kGatedLame,
                   .expect = kNoFile,
                   .reason = "changed while it was being saved",
                   .during = killSaver(
                       "copy_file_range", [=](Place& p) { return inCall(p, SYS_copy_file_range); },
                       false, {},
                       [](Place& p) {
                           const QStringList jobs =
                               QDir(p.temp).entryList({"blendora-job-*"}, QDir::Dirs);
                           const QByteArray encoded =
                               nativePath(p.temp + "/" + jobs.value(0) + "/result.mp3");
                           return ::truncate(encoded.constData(), 1000) == 0
                                      ? QString("cut result.mp3 to 1000 bytes")
                                      : QString();
                       }),
                   .attack = "held by strace",
                   .strace = true};
        QTest::newRow("output folder moved during the job") << Row{
            .during =
                [](Place& p, QProcess& job) {
                    if (decoding(p.temp, job) && QDir().rename(p.out, p.root + "/moved"))
                        p.did << "moved the output folder while the job decoded";
                    return false;
                },
            .check =
                [](Place& p, const QString&) {
                    QStringList problems = soundProblems(p.root + "/moved/mixed.mp3", {2.0, 0, 0});
                    if (!p.said.join("\n").contains(p.root + "/moved/mixed.mp3"))
                        problems << "not told where the mix went: " + p.said.join(" | ");
                    return problems;
                }};
    }
    void outputName() { run(); }
};

BLENDORA_FAULTS_MAIN(TestOutputName)

#include "test_outputname.moc"
