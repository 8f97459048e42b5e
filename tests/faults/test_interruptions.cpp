// Jobs interrupted from outside, and what a process can be started with.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestInterruptions : public Suite {
    Q_OBJECT

  private slots:
    // A job ended or stopped from outside while it works.
    void interruptions_data() {
        QTest::addColumn<Row>("row");
        // An input cut while it decodes (a sync client, a restarted download) is no "Done.".
        QTest::newRow("first input cut to half while it decodes") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 400 << 20); },
            .expect = kNoFile,
            .reason = "changed while it was being read",
            .during =
                [](Place& p, QProcess& job) {
                    if (decoding(p.temp, job) &&
                        ::truncate(nativePath(p.in + "/long.wav").constData(), 200 << 20) == 0)
                        p.did << "cut the first input to half while it decoded";
                    return false;
                }};
        // A decoded input cut once written, before the merge reads it (another process of the
        // user's, a failing disk): read as long as it was written, it is never mixed as silence,
        // converted first or not.
        for (const int rate : {44100, 22050})
            QTest::addRow("first decoded input cut before the merge, %d Hz", rate) << Row{
                .one = [rate](Place& p) { return p.wav("one.wav", rate, 2, 2.0, 0.5, Pcm::S16); },
                .two = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 64 << 20); },
                .expect = kNoFile,
                .reason = "changed while it was being read",
                .plain = true,
                .during =
                    [](Place& p, QProcess& job) {
                        for (int i = 0; i < 6000 && !job.waitForFinished(10); ++i)
                            for (const QString& f :
                                 QDir(p.temp).entryList({"blendora-job-*"}, QDir::Dirs)) {
                                const QDir at(p.temp + "/" + f);
                                if (!at.exists("temp2.wav") ||
                                    ::truncate(nativePath(at.filePath("temp1.wav")), 1000) != 0)
                                    continue;
                                if (at.entryList({"result.wav*"}).isEmpty())
                                    p.did << "cut temp1.wav to 1000 bytes before the merge";
                                return false;
                            }
                        return false;
                    }};
        // The mix cut as the encoder starts: lame reads it by name, and the short MP3 it makes
        // is not saved.
        QTest::newRow("the mix cut as the encoder starts") << Row{
            .setup = [](Place& p) { p.env.insert("ROW", p.root); },
            .encoder = QStringLiteral("#!/bin/sh\ntruncate -s 1000 \"$2\" && echo >\"$ROW/cut\"\n"
                                      "exec '%1' \"$@\"\n")
                           .arg(BLENDORA_LAME),
            .expect = kNoFile,
            .reason = "changed while it was being read",
            .plain = true,
            .during =
                [](Place& p, QProcess& job) {
                    if (waitFor(job, p.root + "/cut"))
                        p.did << "cut result.wav to 1000 bytes as the encoder started";
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
                    p.did << "swapped the job folder for another while it decoded";
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
            .reason = "(ulimit -f: 1024 KiB)",
            .plain = true};
        // A logout or a kill while a long input decodes: the job folder goes all the same.
        for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGABRT})
            QTest::addRow("%s while decoding", strsignal(signal)) << Row{
                .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 400 << 20); },
                .during =
                    [signal](Place& p, QProcess& job) {
                        if (!decoding(p.temp, job))
                            return false;
                        if (::kill(pid_t(job.processId()), signal) == 0)
                            p.did << QStringLiteral("sent signal %1 while decoding").arg(signal);
                        return job.waitForFinished();
                    },
                .check = nothingOut};
        // The display goes: the toolkit ends the program through exit().
        QTest::newRow("display lost while decoding") << Row{
            .one = [](Place& p) { return sparseWave(p.in + "/long.wav", 44100, 2, 400 << 20); },
            .setup = [](Place& p) { p.env.insert("EXIT_WHILE_DECODING", "1"); },
            .during = [](Place&, QProcess& job) { return job.waitForFinished(120000); },
            .check = nothingOut,
            .attack = "exit while decoding"};
        // Too few descriptors for a job: refused before it begins, in words.
        QTest::newRow("ulimit -n 11")
            << Row{.setup =
                       [](Place& p) {
                           p.wrapper = QStringList{"sh", "-c", "ulimit -n 11 && exec \"$@\"", "sh"};
                       },
                   .expect = kNoFile,
                   .reason = "Too many open files|free file descriptors"};
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
                           if (::kill(pid("/supervisor"), SIGKILL) == 0)
                               p.did << "killed the supervisor during the encode";
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
        // The saver's own calls fail or are interrupted (strace): a failed note of the file it
        // puts at the name (killed after, the job could not tell that file from another's) or a
        // failed close (a delayed write error) leaves the name alone and is told; a report it
        // cannot write is judged by the note, as after a kill; an interrupted call is made
        // again, a close is not, and the mix is saved.
        const auto inSaver = [](const QString& injected) {
            return [injected](Place& p, QProcess& job) {
                QProcess tracer;
                if (waitFor(job, p.root + "/supervisor") &&
                    traceSaver(p, tracer, "pwrite64,close,renameat2,linkat", injected.split(' ')))
                    p.did << "strace in the saver: " + injected;
                job.waitForFinished(60000);
                tracer.kill();
                tracer.waitForFinished();
                return false;
            };
        };
        const QString copying = "inject=renameat2:error=EINVAL inject=linkat:error=EPERM ";
        for (const auto& [name, injected, existing, expect] :
             {std::tuple{"saver's note of its file fails",
                         QString("inject=pwrite64:error=EIO:when=1"), true, kNoFile},
              {"saver's note of its copy at the name fails",
               copying + "inject=pwrite64:error=EIO:when=2", false, kNoFile},
              {"saver's close of its file fails", QString("inject=close:error=EIO:when=3"), true,
               kNoFile},
              {"saver's report fails", QString("inject=pwrite64:error=EIO:when=2"), true, kDone},
              {"saver's note interrupted", QString("inject=pwrite64:error=EINTR:when=1"), true,
               kDone},
              {"saver's close interrupted", QString("inject=close:error=EINTR:when=3"), true,
               kDone}})
            QTest::newRow(name) << Row{.existing = existing,
                                       .setup = [](Place& p) { p.env.insert("ROW", p.root); },
                                       .encoder = kGatedLame,
                                       .expect = expect,
                                       .reason = "Input/output error",
                                       .during = inSaver(injected),
                                       .attack = "strace in the saver",
                                       .strace = true};
    }
    void interruptions() { run(); }

    // What the program was started with reaches no encoder.
    void inherited_data() {
        QTest::addColumn<Row>("row");
        // A descriptor the program was started with (a session's lock, a terminal) is not the
        // encoder's: it would hold it past the program's end.
        QTest::newRow("started with a descriptor open") << Row{
            .setup =
                [](Place& p) {
                    p.env.insert("ROW", p.root);
                    p.wrapper =
                        QStringList{"sh", "-c", "exec 7<>\"$ROW/held-open\" && exec \"$@\"", "sh"};
                },
            .encoder = QStringLiteral("#!/bin/sh\necho >\"$ROW/looked\"\n"
                                      "for fd in /proc/$$/fd/*; do\n"
                                      "  case \"$(readlink \"$fd\")\" in *held-open) "
                                      "echo \"$fd\" >>\"$ROW/kept\";; esac\ndone\n"
                                      "exec '%1' \"$@\"\n")
                           .arg(BLENDORA_LAME),
            .check =
                [](Place& p, const QString& said) {
                    QStringList problems;
                    if (said != kDone)
                        problems << "expected \"Done.\": " + said;
                    // The starter opened it, and the encoder looked for it.
                    if (!QFile::exists(p.root + "/held-open") || !QFile::exists(p.root + "/looked"))
                        problems << QStringLiteral("no descriptor held, or none looked for");
                    if (QFile::exists(p.root + "/kept"))
                        problems << "the encoder got the program's descriptor " +
                                        test::readAll(p.root + "/kept").trimmed();
                    return problems;
                }};
        // What the starter of the program ignored reaches no encoder.
        QTest::newRow("started with signals ignored") << Row{
            .setup =
                [](Place& p) {
                    p.env.insert("ROW", p.root);
                    p.wrapper = QStringList{"sh", "-c",
                                            "trap '' USR1 HUP 40; grep SigIgn /proc/$$/status "
                                            ">\"$ROW/starter\"; exec \"$@\"",
                                            "sh"};
                },
            .encoder = QStringLiteral("#!/bin/sh\ngrep SigIgn /proc/$$/status "
                                      ">\"$ROW/signals\"\nexec '%1' \"$@\"\n")
                           .arg(BLENDORA_LAME),
            .check =
                [](Place& p, const QString&) {
                    // The starter ignored them, and the encoder ran.
                    const QByteArray starter = test::readAll(p.root + "/starter");
                    if (!starter.startsWith("SigIgn:") || starter.contains("0000000000000000"))
                        return QStringList{"the starter ignored nothing: " + starter};
                    const QByteArray seen = test::readAll(p.root + "/signals");
                    return seen.contains("0000000000000000")
                               ? QStringList()
                               : QStringList{"the encoder started with " + seen};
                }};
    }
    void inherited() { run(); }

    // Closing the window while a long input is converted ends the program at once: the close
    // takes effect while the conversion has most of its way to go, and nothing is left.
    void closeDuringConversion() {
        const QString root = base_.path() + "/closing";
        for (const QString& folder : {root + "/temp", root + "/config", root + "/out"})
            QVERIFY(QDir().mkpath(folder));
        // 40 min at 8 kHz mono: some seconds of conversion to 44.1 kHz stereo.
        const QString one = sparseWave(root + "/long.wav", 8000, 1, 40 * 60 * 16000);
        const qint64 whole = 40LL * 60 * 44100 * 4;
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
        QVERIFY(child.waitForStarted());
        // The converted copy, held open, so that its size at the program's end can be read
        // once the program has removed it.
        int copy = -1;
        for (int i = 0; i < 6000 && copy < 0 && !child.waitForFinished(10); ++i)
            for (const QString& job :
                 QDir(root + "/temp").entryList({"blendora-job-*"}, QDir::Dirs))
                if (copy < 0)
                    copy = ::open(
                        nativePath(root + "/temp/" + job + "/result.wav.conv1.wav").constData(),
                        O_RDONLY | O_CLOEXEC);
        QVERIFY2(copy >= 0, "the converted copy was never seen");
        const auto closeCopy = qScopeGuard([copy] { ::close(copy); });
        QVERIFY(child.waitForFinished(120000));
        const qint64 ended = monotonicMs();
        const QByteArray said = child.readAllStandardOutput();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 (said + child.readAllStandardError().right(2000)).constData());
        const QList<QByteArray> figures = said.trimmed().split(' ');
        bool number = false;
        const qint64 sizeAsked = figures.value(0).toLongLong(&number);
        QVERIFY2(number && figures.size() == 2, said.constData());
        struct stat st;
        QVERIFY(::fstat(copy, &st) == 0);
        const qint64 after = qint64(st.st_size) - sizeAsked;
        qInfo("the program ended %lld ms after the close; %lld of %lld bytes converted after it",
              ended - figures[1].toLongLong(), after, whole - sizeAsked);
        // The window's events run every few dozen milliseconds of conversion: a fifth of the
        // rest is many times that on any machine, busy or not, and far less than a conversion
        // that runs to its end.
        QVERIFY2(after >= 0 && after < (whole - sizeAsked) / 5, qPrintable(QString::number(after)));
        QCOMPARE(QDir(root + "/temp").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
        QCOMPARE(QDir(root + "/out").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }
};

BLENDORA_FAULTS_MAIN(TestInterruptions)

#include "test_interruptions.moc"
