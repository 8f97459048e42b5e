// Start-up and shutdown of the main window against engines of every kind.
#include "AppTitle.h"
#include "Form1.h"
#include "Paths.h"
#include "Settings.h"
#include "TestSupport.h"

#include <QApplication>
#include <QGroupBox>
#include <QImageWriter>
#include <QLineEdit>
#include <QProcess>
#include <QtTest>
#include <unistd.h>

using namespace blendora;
using blendora::test::Prompt;
using blendora::test::RecordingShell;
using blendora::test::ScriptedPrompts;

namespace {

struct FakeEngine : EngineSeam {
    std::uint32_t version = 0x02040000;
    int initResult = 1;
    bool versionThrows = false;
    QStringList calls;
    std::uint32_t GetVersion() override {
        calls << "GetVersion";
        if (versionThrows)
            throw std::runtime_error("libblendora-audio.so: cannot open shared object file");
        return version;
    }
    int SetConfig(std::uint32_t option, std::uint32_t value) override {
        calls << QStringLiteral("SetConfig %1 %2").arg(option).arg(value);
        return 1;
    }
    int Init(int device, std::uint32_t freq, std::uint32_t flags, void*, const void*) override {
        calls << QStringLiteral("Init %1 %2 %3").arg(device).arg(freq).arg(flags);
        return initResult;
    }
    int Free() override {
        calls << "Free";
        return 1;
    }
};

struct Harness {
    ScriptedPrompts prompts;
    RecordingShell shell;
    FakeEngine engine;
    int ended = 0;
    double draw = 0.5;
    std::unique_ptr<Form1> form;

    Form1& make() {
        form = std::make_unique<Form1>(
            Form1Seams{&prompts, &shell, &engine, [this] { return draw; }, [this] { ++ended; }});
        return *form;
    }
};

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

    QTemporaryDir config_;
    QTemporaryDir folder_;

  private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config_.path().toUtf8()); }

    void init() {
        QFile::remove(config_.path() + "/Quorvane.ini");
        setProgramFolderForTesting(folder_.path());
        QDir(folder_.path()).removeRecursively();
        QDir().mkpath(folder_.path());
        qApp->setStyleSheet(QString());
    }

    void engineVersions_data() {
        QTest::addColumn<quint32>("version");
        QTest::addColumn<bool>("starts");
        QTest::newRow("2.4.0") << quint32(0x02040000) << true;
        QTest::newRow("2.4.17") << quint32(0x02040011) << true;
        QTest::newRow("2.3") << quint32(0x02030000) << false;
        QTest::newRow("3.0") << quint32(0x03000000) << false;
    }

    void engineVersions() {
        QFETCH(quint32, version);
        QFETCH(bool, starts);
        Harness h;
        h.engine.version = version;
        Form1& form = h.make();
        QCOMPARE(form.Form_Load(), starts);
        QCOMPARE(h.ended, starts ? 0 : 1);
        QCOMPARE(form.isVisible(), false);
        if (starts) {
            QCOMPARE(h.engine.calls,
                     (QStringList{"GetVersion", "SetConfig 1 0", "Init 0 44100 0"}));
            QVERIFY(h.prompts.seen.isEmpty());
            QCOMPARE(form.windowTitle(), QStringLiteral("Blendora"));
            QCOMPARE(appTitle(), QStringLiteral("Blendora"));
        } else {
            QCOMPARE(h.engine.calls, QStringList{"GetVersion"});
            QCOMPARE(h.prompts.texts(), QStringList{"An incorrect version of BASS.DLL was loaded"});
            QCOMPARE(h.prompts.seen[0].kind, Prompt::Message);
            QCOMPARE(h.prompts.seen[0].caption, QStringLiteral("Blendora"));
        }
    }

    void engineThatRefusesToStart() {
        Harness h;
        h.engine.initResult = 0;
        QVERIFY(!h.make().Form_Load());
        QCOMPARE(h.prompts.texts(), QStringList{"Can't initialize device"});
        QCOMPARE(h.ended, 1);
    }

    void missingEngineShowsReportThenVersionMessage() {
        Harness h;
        h.engine.versionThrows = true;
        h.draw = 0.06; // the home page, so we see the order of everything before
        QVERIFY(!h.make().Form_Load());
        QCOMPARE(h.prompts.seen.size(), 2);
        QCOMPARE(h.prompts.seen[0].kind, Prompt::Warning);
        QVERIFY(h.prompts.seen[0].text.contains("Form1.Form_Load at line 134\r\r"));
        QVERIFY(h.prompts.seen[0].text.startsWith("libblendora-audio.so"));
        QCOMPARE(h.prompts.seen[1].text,
                 QStringLiteral("An incorrect version of BASS.DLL was loaded"));
        QVERIFY(!h.engine.calls.contains("SetConfig 1 0"));
        QCOMPARE(h.ended, 1);
        QCOMPARE(h.shell.urls.size(), 1);
    }

    void closingReleasesTheEngineAndEnds() {
        Harness h;
        Form1& form = h.make();
        QVERIFY(form.Form_Load());
        QVERIFY(form.close());
        QCOMPARE(h.engine.calls.last(), QStringLiteral("Free"));
        QCOMPARE(h.ended, 1);
    }

    void storedPathsComeBackUnchanged() {
        const QString one = QStringLiteral("/home/zoë/My Music/first song.mp3");
        const QString two = QStringLiteral("/no/longer/there.mp3");
        {
            Harness h;
            QVERIFY(h.make().Form_Load());
            QCOMPARE(h.form->Text1->text(), QString());
            QCOMPARE(h.form->Text2->text(), QString());
            h.form->Text1->setText(one);
            h.form->Text2->setText(two);
        }
        const QByteArray before = test::readAll(config_.path() + "/Quorvane.ini");
        Harness h;
        QVERIFY(h.make().Form_Load());
        QCOMPARE(h.form->Text1->text(), one);
        QCOMPARE(h.form->Text2->text(), two);
        QCOMPARE(test::readAll(config_.path() + "/Quorvane.ini"), before);
        // An emptied field comes back empty.
        h.form->Text1->clear();
        Harness again;
        QVERIFY(again.make().Form_Load());
        QCOMPARE(again.form->Text1->text(), QString());
        QCOMPARE(again.form->Text2->text(), two);
    }

    void skinBesideTheProgram() {
        {
            Harness h;
            QVERIFY(h.make().Form_Load());
            QCOMPARE(h.form->palette().color(QPalette::Window), QColor(Qt::white));
            QCOMPARE(h.form->Frame1->palette().color(QPalette::Window), QColor(Qt::white));
            QCOMPARE(qApp->styleSheet(), QString());
        }
        // A folder of that name is no skin.
        QDir().mkpath(folder_.path() + "/x/o.cjs");
        {
            Harness h;
            QVERIFY(h.make().Form_Load());
            QCOMPARE(h.form->palette().color(QPalette::Window), QColor(Qt::white));
        }
        QDir(folder_.path() + "/x/o.cjs").removeRecursively();
        const QByteArray sheet = "QPushButton { color: #123456; }";
        test::writeAll(folder_.path() + "/x/o.cjs", sheet);
        Harness h;
        QVERIFY(h.make().Form_Load());
        QVERIFY(h.prompts.seen.isEmpty());
        const QColor face = QApplication::palette().color(QPalette::Button);
        QCOMPARE(h.form->palette().color(QPalette::Window), face);
        QCOMPARE(h.form->Frame2->palette().color(QPalette::Window), face);
        QCOMPARE(qApp->styleSheet(), QString::fromUtf8(sheet));
    }

    void cursorFileBesideTheProgram() {
        {
            Harness h;
            QVERIFY(h.make().Form_Load());
            QVERIFY(!h.form->hasMouseIcon());
            QCOMPARE(h.form->cursorFor(PointerCustom).shape(), Qt::PointingHandCursor);
        }
        // A real cursor file: an icon image with the cursor type and a hotspot in its directory.
        QByteArray ico;
        {
            QBuffer buffer(&ico);
            buffer.open(QIODevice::WriteOnly);
            QImage image(32, 32, QImage::Format_ARGB32);
            image.fill(Qt::red);
            QVERIFY(QImageWriter(&buffer, "ico").write(image));
        }
        const auto file = [&](int type, int x, int y) {
            QByteArray bytes = ico;
            bytes[2] = char(type);
            qToLittleEndian<quint16>(x, bytes.data() + 10);
            qToLittleEndian<quint16>(y, bytes.data() + 12);
            return bytes;
        };
        const struct {
            QByteArray bytes;
            QPoint hotspot;
        } files[] = {
            {file(2, 5, 2), {5, 2}},
            {file(2, 0, 31), {0, 31}},
            {file(2, 32, 2), {16, 16}}, // outside the picture: the centre
            {file(1, 1, 32), {16, 16}}, // an icon: planes and bits, no hotspot
        };
        for (const auto& [bytes, hotspot] : files) {
            test::writeAll(folder_.path() + "/HAND-M.CUR", bytes);
            Harness h;
            QVERIFY(h.make().Form_Load());
            QVERIFY(h.prompts.seen.isEmpty());
            QVERIFY(h.form->hasMouseIcon());
            const QCursor hand = h.form->cursorFor(PointerCustom);
            QCOMPARE(hand.shape(), Qt::BitmapCursor);
            QCOMPARE(hand.hotSpot(), hotspot);
        }
        test::writeAll(folder_.path() + "/HAND-M.CUR", "not a picture");
        test::writeAll(config_.path() + "/seed", "");
        SaveSetting(kMakerName, kProductTitle, "Text2", "/kept.mp3");
        Harness h;
        QVERIFY(h.make().Form_Load());
        QCOMPARE(h.prompts.seen.size(), 1);
        QVERIFY(h.prompts.seen[0].text.contains("Form_Load at line 106\r\r"));
        QVERIFY(!h.form->hasMouseIcon());
        QCOMPARE(h.form->Text2->text(), QStringLiteral("/kept.mp3"));
    }

    // A settings file that holds no settings is told once, as a plain message, being no fault of
    // the program's: the second read and the writes after it say nothing more, and typing goes
    // on.
    void unreadableSettingsAreReportedOnce() {
        const QString file = config_.path() + "/Quorvane.ini";
        test::writeAll(file, "[Blendora]\n[[[\n");
        Harness h;
        QVERIFY(h.make().Form_Load());
        QCOMPARE(h.prompts.seen.size(), 1);
        QVERIFY(h.prompts.seen[0].text.startsWith("The settings file " + file +
                                                  " held something other than settings."));
        QCOMPARE(h.prompts.seen[0].kind, Prompt::Message);
        QTest::keyClicks(h.form->Text1, "ab");
        QCOMPARE(h.form->Text1->text(), QStringLiteral("ab"));
        QCOMPARE(h.prompts.seen.size(), 1);
    }

    void fullIconReplacesTheSmallOne() {
        Harness h;
        Form1& form = h.make();
        QCOMPARE(form.windowIcon().availableSizes(), QList<QSize>{QSize(32, 32)});
        QVERIFY(form.Form_Load());
        QCOMPARE(form.windowIcon().availableSizes(),
                 (QList<QSize>{{32, 32}, {48, 48}, {128, 128}, {256, 256}}));
    }

    void currentFolderIsTheProgramFolder() {
        Harness h;
        QVERIFY(h.make().Form_Load());
        QCOMPARE(QDir::currentPath(), QDir(folder_.path()).canonicalPath());
    }

    // The program itself, without a display: -h is --help, which needs none.
    void helpAsEveryProgramAsksForIt() {
        QProcess program;
        program.setProcessEnvironment({});
        program.start(QStringLiteral(BLENDORA_PROGRAM_DIR "/blendora"), {"-h"});
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(program.readAllStandardOutput().startsWith("Usage: blendora"));
    }

    // Once a user's processes reach `ulimit -u`, the toolkit would wait for ever on a thread it
    // could not start: the program says why and ends. A user of its own has no other process.
    void noRoomForProcessesIsSaid() {
        if (::geteuid() != 0)
            TEST_SKIP("only root can run the program as a user whose processes it knows");
        QProcess program;
        program.setProcessEnvironment({});
        program.start("setpriv", {"--reuid=4322", "--regid=4322", "--clear-groups", "--", "prlimit",
                                  "--nproc=1", "--", "env", "QT_QPA_PLATFORM=offscreen",
                                  QStringLiteral(BLENDORA_PROGRAM_DIR "/blendora")});
        const bool ended = program.waitForFinished(20000);
        program.kill();
        program.waitForFinished();
        QVERIFY2(ended, "it waited without a word");
        QCOMPARE(program.exitCode(), 1);
        QVERIFY(program.readAllStandardError().contains("(ulimit -u)"));
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true); // as QTEST_MAIN sets it
    TestStartup test;
    return blendora::test::finish(QTest::qExec(&test, argc, argv));
}
#include "test_startup.moc"
