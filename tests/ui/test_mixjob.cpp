// "Start Mixing" end to end: the real window offscreen, the real engine and encoder.
#include "AudioEngine.h"
#include "Form1.h"
#include "MixJob.h"
#include "Paths.h"
#include "TestSupport.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QtTest>
#include <cmath>
#include <unistd.h>

using namespace blendora;
using blendora::test::decode;
using blendora::test::Prompt;
using blendora::test::ScriptedPrompts;

namespace {

struct Job {
    ScriptedPrompts prompts;
    test::RecordingShell shell;
    std::unique_ptr<Form1> form;
    QStringList progress; // "text|value" each time either changes

    Job() {
        form = std::make_unique<Form1>(
            Form1Seams{&prompts, &shell, nullptr, [] { return 0.5; }, [] {}});
        QVERIFY(form->Form_Load());
    }
    ~Job() { form->Form_QueryUnload(); }

    // Runs the job, watching the bar whenever the event loop runs.
    void mix(const QString& one, const QString& two, const QString& out,
             std::function<void(Job&)> during = {}) {
        form->Text1->setText(one);
        form->Text2->setText(two);
        if (!out.isNull())
            prompts.files << out;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const QString now = form->progressText() + "|" + QString::number(form->progressValue());
            if (progress.isEmpty() || progress.last() != now)
                progress << now;
            if (during)
                during(*this);
        });
        watch.start(0);
        form->PushButton2_Click();
    }
};

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class TestMixJob : public QObject {
    Q_OBJECT

    QTemporaryDir config_;
    QTemporaryDir files_;
    QTemporaryDir temp_;
    QTemporaryDir runtime_;
    QString long_, short_;

  private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        qputenv("TEMP", temp_.path().toUtf8());
        qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
        long_ = test::makeToneMp3(files_.path(), "long tone", 44100, 2, 3.0, 440);
        short_ = test::makeToneMp3(files_.path(), "short", 44100, 2, 2.0, 660);
        QVERIFY(!long_.isEmpty() && !short_.isEmpty());
    }

    void cleanup() {
        QVERIFY2(entries(temp_.path()).isEmpty(), qPrintable(entries(temp_.path()).join(',')));
    }

    void mixesTwoFilesIntoTheirHalfSum() {
        const QString out = files_.path() + "/mixed result.mp3";
        Job job;
        int secondClicks = 0;
        job.mix(short_, long_, out, [&](Job& j) {
            if (j.form->progressText().startsWith("Merging.. Step 2") && secondClicks++ == 0)
                j.form->PushButton2_Click(); // does nothing while a job runs
        });
        QCOMPARE(job.prompts.texts(), (QStringList{"Create New MP3 and Save As..", "Done."}));
        const Prompt& save = job.prompts.seen.first();
        QCOMPARE(save.kind, Prompt::Save);
        QCOMPARE(save.request.filter, QStringLiteral("MP3 Files (*.mp3)|*.mp3"));
        QCOMPARE(save.request.fileName, QString());
        QCOMPARE(save.request.initialFolder, files_.path()); // beside the first input
        QVERIFY(secondClicks > 0);
        QVERIFY(!job.form->mixInProgress());
        QCOMPARE(job.form->mousePointer(), int(PointerDefault));
        QCOMPARE(job.form->progressText(), QStringLiteral("Progress Bar"));
        QCOMPARE(job.form->progressValue(), 0);

        // The bar's texts in order, with the merge rising to 100 in between.
        QStringList texts;
        for (const QString& p : job.progress)
            if (texts.isEmpty() || texts.last() != p.section('|', 0, 0))
                texts << p.section('|', 0, 0);
        QCOMPARE(texts,
                 (QStringList{"Converting short.mp3 Step 1", "Converting long tone.mp3 Step 2",
                              "Merging.. Step 1", "Merging.. Step 2"}));
        QVERIFY(job.progress.contains("Converting short.mp3 Step 1|100"));
        QVERIFY(job.progress.contains("Merging.. Step 2|100"));

        // The mix lasts as long as the longer input and is the half-sum of the two.
        ChannelInfo info;
        const QVector<qint16> a = decode(short_), b = decode(long_), m = decode(out, &info);
        QCOMPARE(info.freq, 44100u);
        QCOMPARE(info.chans, 2u);
        QVERIFY2(std::abs(m.size() - b.size()) <= 1152 * 2,
                 qPrintable(QString("%1 vs %2").arg(m.size()).arg(b.size())));
        double error = 0, signal = 0;
        const qsizetype n = std::min(m.size(), b.size());
        for (qsizetype i = 0; i < n; ++i) {
            const double expected = (i < a.size() ? a[i] / 2 : 0) + b[i] / 2;
            error += (m[i] - expected) * (m[i] - expected);
            signal += expected * expected;
        }
        QVERIFY2(error / signal < 0.01, qPrintable(QString::number(error / signal)));
    }

    // A real ProTracker module whose samples hold MPEG-like frames, with a real MP3: the mix
    // lasts as long as the module as libopenmpt renders it (51.2 s).
    void moduleMixedWithAnMp3KeepsItsWholeLength() {
        const QString real = QStringLiteral(BLENDORA_SOURCE_DIR "/tests/corpus/files/");
        const QString out = files_.path() + "/module mix.mp3";
        Job job;
        job.mix(real + "front_1.mod", real + "beep.mp3", out);
        QCOMPARE(job.prompts.texts(), (QStringList{"Create New MP3 and Save As..", "Done."}));
        ChannelInfo info;
        const qsizetype frames = decode(out, &info).size() / 2;
        QVERIFY2(std::abs(frames - 2257920) <= 1152 * 2, qPrintable(QString::number(frames)));
    }

    void inputChecksInTheirOrder_data() {
        QTest::addColumn<QString>("one");
        QTest::addColumn<QString>("two");
        QTest::addColumn<QString>("message");
        const QString missing = "/nowhere/gone.mp3";
        QTest::newRow("both empty") << ""
                                    << ""
                                    << "You forgot to input first mp3 file.";
        QTest::newRow("first missing, second empty") << missing << ""
                                                     << "You forgot to input second mp3 file.";
        QTest::newRow("both missing") << missing << missing << "First mp3 file not found.";
        QTest::newRow("spaces only") << "   "
                                     << "x"
                                     << "First mp3 file not found.";
        QTest::newRow("second missing") << "LONG" << missing << "Second mp3 file not found.";
        // The toolkit reads a byte that is not UTF-8 as U+FFFD, and no file has that name.
        QTest::newRow("first name not UTF-8")
            << "/music/caf\uFFFD.mp3"
            << "x"
            << "The name of the first mp3 file cannot be read: a part of it is not UTF-8 text "
               "(shown as \uFFFD). Rename the file and choose it again.";
    }

    void inputChecksInTheirOrder() {
        QFETCH(QString, one);
        QFETCH(QString, two);
        QFETCH(QString, message);
        Job job;
        job.mix(one == "LONG" ? long_ : one, two, QString());
        QCOMPARE(job.prompts.texts(), QStringList{message});
        QCOMPARE(job.prompts.seen[0].kind, Prompt::Message);
        QCOMPARE(job.prompts.seen[0].caption, QStringLiteral("Blendora"));
        QVERIFY(!job.form->mixInProgress());
        QVERIFY(job.progress.isEmpty());
    }

    // A name given on the command line or by the desktop in bytes that are not UTF-8 (an old
    // Latin-1 "café") keeps its bytes, and the file is read.
    void namesThatAreNotUtf8() {
        const QByteArray raw = QFile::encodeName(files_.path()) + "/caf\xe9.mp3";
        QVERIFY(QFile::copy(short_, files_.path() + "/latin"));
        QVERIFY(::rename(nativePath(files_.path() + "/latin").constData(), raw) == 0);
        const auto gone = qScopeGuard([&] { ::unlink(raw.constData()); });
        Job job;
        job.mix(nameFromArgument(raw.constData()), long_, files_.path() + "/latin.mp3");
        QCOMPARE(job.prompts.texts(), (QStringList{"Create New MP3 and Save As..", "Done."}));
        QVERIFY(job.progress.contains("Converting caf\\xE9.mp3 Step 1|100"));
    }

    void cancelChangesNothing() {
        Job job;
        job.mix(long_, short_, QString());
        QCOMPARE(job.prompts.texts(), QStringList{"Create New MP3 and Save As.."});
        QVERIFY(job.progress.isEmpty());
        QCOMPARE(job.form->mousePointer(), int(PointerDefault));
        QVERIFY(!job.form->mixInProgress());
    }

    void secondFieldEmptiedDuringTheFirstDecode() {
        const QString out = files_.path() + "/never.mp3";
        Job job;
        job.mix(long_, short_, out, [](Job& j) {
            if (j.form->progressText().endsWith("Step 1") && !j.form->Text2->text().isEmpty())
                j.form->Text2->clear();
        });
        const QStringList texts = job.prompts.texts();
        QCOMPARE(texts.size(), 4);
        QVERIFY2(texts[1].contains("PushButton2_Click at line 140\r\r"), qPrintable(texts[1]));
        QCOMPARE(texts[2], QStringLiteral("Can't read the file..."));
        QVERIFY(texts[3].startsWith("No mixed file was made."));
        QVERIFY(!QFile::exists(out));
    }

    void failingStagesSayNoFileWasMade() {
        // A name that would pass its end for the program's own words is shown as it is.
        const QString text = files_.path() + "/notes\n\nDone. Click OK\u202E.mp3";
        test::writeAll(text, "just some words, not audio\n");
        {
            Job job;
            job.mix(text, long_, files_.path() + "/a.mp3");
            QCOMPARE(job.prompts.texts().mid(1, 1),
                     QStringList{"Can't read the file..." + files_.path() +
                                 "/notes\\n\\nDone. Click OK<U+202E>.mp3"});
            QCOMPARE(job.prompts.seen.last().text,
                     QStringLiteral("No mixed file was made.\r\rThe first file could not be "
                                    "read: it holds no sound Blendora knows."));
            QVERIFY(!QFile::exists(files_.path() + "/a.mp3"));
        }
        {
            Job job;
            job.mix(long_, short_, files_.path() + "/no such\nfolder/b.mp3");
            const Prompt& last = job.prompts.seen.last();
            QVERIFY2(last.text.contains("no such\\nfolder: No such file or directory"),
                     qPrintable(last.text));
            QCOMPARE(job.prompts.count(Prompt::Warning), 1);
        }
        {
            // An encoder that fails: its exit code and last words, and the old file kept.
            const QString kept = files_.path() + "/kept.mp3";
            test::writeAll(kept, "an older mix");
            setEncoderProgramForTesting("#!/bin/sh\necho 'encoding went wrong' >&2\nexit 3\n");
            Job job;
            job.mix(long_, short_, kept);
            setEncoderProgramForTesting({});
            const QString last = job.prompts.seen.last().text;
            QVERIFY2(last.contains("exit code 3.\r\nencoding went wrong"), qPrintable(last));
            QCOMPARE(test::readAll(kept), QByteArray("an older mix"));
        }
    }

    void temporaryFolderChoices() {
        // TEMP unset: TMPDIR serves.
        qunsetenv("TEMP");
        qputenv("TMPDIR", temp_.path().toUtf8());
        {
            Job job;
            job.mix(long_, short_, files_.path() + "/tmpdir.mp3");
            QCOMPARE(job.prompts.seen.last().text, QStringLiteral("Done."));
        }
        // TEMP naming a missing folder: a report, then no output.
        qputenv("TEMP", (temp_.path() + "/missing").toUtf8());
        {
            Job job;
            job.mix(long_, short_, files_.path() + "/missing.mp3");
            QVERIFY(job.prompts.seen[1].text.contains("at line 128"));
            QVERIFY(job.prompts.seen.last().text.startsWith("No mixed file was made."));
            QVERIFY(!QFile::exists(files_.path() + "/missing.mp3"));
        }
        qputenv("TEMP", temp_.path().toUtf8());
        qunsetenv("TMPDIR");
    }

    void temporaryFolderThatCannotRunPrograms() {
        if (::geteuid() != 0)
            TEST_SKIP("mounting a noexec folder needs root");
        const QString mount = temp_.path() + "/noexec";
        QDir().mkpath(mount);
        if (!test::run("mount", {"-t", "tmpfs", "-o", "size=64m,noexec", "tmpfs", mount}))
            TEST_SKIP("this machine does not allow mounting a tmpfs");
        const auto unmount = qScopeGuard([&] {
            test::run("umount", {mount});
            QDir(mount).removeRecursively();
        });
        qputenv("TEMP", mount.toUtf8());
        Job job;
        job.mix(long_, short_, files_.path() + "/noexec.mp3");
        qputenv("TEMP", temp_.path().toUtf8());
        QCOMPARE(job.prompts.seen.last().text, QStringLiteral("Done."));
        QVERIFY(QFileInfo(files_.path() + "/noexec.mp3").size() > 10000);
        QVERIFY(entries(mount).isEmpty());
    }

    // The encoder is held until the program has ended: the close comes during the encode.
    void closingDuringTheEncodeEndsAtOnceAndTheMixStillArrives() {
        const QString out = files_.path() + "/after close.mp3";
        const QString gate = files_.path() + "/gate";
        QVERIFY(QDir().mkpath(gate));
        qputenv("ROW", QFile::encodeName(gate));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {"--close-while-encoding", long_, short_, out});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        // Only the folder's record and the mix the held encoder will read are left, for it to
        // remove.
        QCOMPARE(entries(temp_.path()).size(), 1);
        QCOMPARE(entries(temp_.path() + "/" + entries(temp_.path()).first()),
                 (QStringList{"made", "result.wav"}));
        const QString supervisor =
            QString::fromLatin1(test::readAll(gate + "/supervisor").trimmed());
        QVERIFY(!supervisor.isEmpty() && QFile::exists("/proc/" + supervisor));
        test::writeAll(gate + "/go", {});
        // The supervisor is our child's orphan: gone, or a zombie that holds nothing any more.
        const auto over = [&] {
            const QByteArray stat = test::readAll("/proc/" + supervisor + "/stat");
            return stat.isEmpty() || stat.contains(") Z");
        };
        for (int i = 0; i < 6000 && !over(); ++i)
            QTest::qWait(10);
        QCOMPARE(decode(out).size(), decode(long_).size());
        QVERIFY(entries(temp_.path()).isEmpty()); // and then it went too
        QCOMPARE(QDir(files_.path()).entryList({".blendora-*"}, QDir::Hidden), QStringList());
    }

    void twoProgramsMixAtOnce() {
        QList<QProcess*> runs;
        for (const char* name : {"one.mp3", "two.mp3"}) {
            auto* p = new QProcess(this);
            p->start(QCoreApplication::applicationFilePath(),
                     {"--mix", long_, name == QByteArray("one.mp3") ? short_ : long_,
                      files_.path() + "/" + name});
            runs << p;
        }
        for (QProcess* p : runs) {
            p->waitForFinished(60000);
            QCOMPARE(p->exitStatus(), QProcess::NormalExit);
            QCOMPARE(p->exitCode(), 0);
        }
        QCOMPARE(decode(files_.path() + "/one.mp3").size(), decode(long_).size());
        QCOMPARE(decode(files_.path() + "/two.mp3").size(), decode(long_).size());
        QVERIFY(decode(long_).size() > 44100 * 2 * 2);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 5 && QByteArray(argv[1]) == "--mix") {
        Job job;
        job.mix(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]),
                QString::fromLocal8Bit(argv[4]));
        return job.prompts.texts().last() == "Done." ? 0 : 1;
    }
    if (argc == 5 && QByteArray(argv[1]) == "--close-while-encoding") {
        // The real end of the program: no seam for it here.
        setEncoderProgramForTesting(test::kGatedLame.toUtf8());
        ScriptedPrompts prompts;
        prompts.files << QString::fromLocal8Bit(argv[4]);
        Form1 form(Form1Seams{&prompts, nullptr, nullptr, [] { return 0.5; }, {}});
        if (!form.Form_Load())
            return 3;
        form.Text1->setText(QString::fromLocal8Bit(argv[2]));
        form.Text2->setText(QString::fromLocal8Bit(argv[3]));
        QTimer watch;
        // The held encoder says that it has been started.
        const QString started = qEnvironmentVariable("ROW") + "/encoder-pid";
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (QFile::exists(started))
                form.close();
        });
        watch.start(0);
        form.PushButton2_Click();
        return 4; // never reached: closing ends the program at once
    }
    TestMixJob test;
    return blendora::test::finish(QTest::qExec(&test, argc, argv));
}

#include "test_mixjob.moc"
