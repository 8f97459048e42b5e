// The sample button, the help button, and the sample pieces the build makes.
#include "AudioEngine.h"
#include "Form1.h"
#include "Paths.h"
#include "Settings.h"
#include "TestSupport.h"

#include <QLineEdit>
#include <QtTest>
#include <cmath>

using namespace blendora;
using blendora::test::Prompt;
using blendora::test::ScriptedPrompts;

namespace {
struct QuietEngine : EngineSeam {
    int Init(int, std::uint32_t, std::uint32_t, void*, const void*) override { return 1; }
};

const QString kQuestion = QStringLiteral(
    "Would you like this software to open the folder where these sample files are stored (so "
    "that you can view them before working with them)?\r\rYou may want to listen to these MP3 "
    "files first before you use this software to blend them so that you know what they sound "
    "like before the blend.");
} // namespace

class TestSamples : public QObject {
    Q_OBJECT

    QTemporaryDir config_;
    QTemporaryDir folder_; // a program folder without Samples
    ScriptedPrompts prompts_;
    test::RecordingShell shell_;
    QuietEngine engine_;
    std::unique_ptr<Form1> form_;

  private slots:
    void initTestCase() { qputenv("XDG_CONFIG_HOME", config_.path().toUtf8()); }

    void init() {
        setProgramFolderForTesting(folder_.path());
        prompts_ = ScriptedPrompts();
        shell_ = test::RecordingShell();
        form_ = std::make_unique<Form1>(
            Form1Seams{&prompts_, &shell_, &engine_, [] { return 0.5; }, [] {}});
        QVERIFY(form_->Form_Load());
    }

    void samplesFillBothFieldsAndAskAboutTheFolder() {
        const QString one = folder_.path() + "/Samples/sample1.mp3";
        const QString two = folder_.path() + "/Samples/sample2.mp3";
        prompts_.answers << false << true;
        for (int press = 0; press < 2; ++press) {
            form_->PushButton5_Click();
            QCOMPARE(form_->Text1->text(), one);
            QCOMPARE(form_->Text2->text(), two);
            QCOMPARE(GetSetting(kMakerName, kProductTitle, "Text1"), one);
            QCOMPARE(GetSetting(kMakerName, kProductTitle, "Text2"), two);
            QCOMPARE(prompts_.seen.size(), press + 1);
            QCOMPARE(prompts_.seen[press].kind, Prompt::Question);
            QCOMPARE(prompts_.seen[press].text, kQuestion);
            QCOMPARE(prompts_.seen[press].caption, QStringLiteral("Blendora"));
            // No opens nothing; Yes opens exactly the samples folder.
            QCOMPARE(shell_.folders,
                     press == 0 ? QStringList() : QStringList{folder_.path() + "/Samples/"});
        }
    }

    void failingQuestionIsReportedAndTheFolderOpens() {
        prompts_.onQuestionThrow = [] {};
        form_->PushButton5_Click();
        QCOMPARE(prompts_.seen.size(), 2);
        QVERIFY(prompts_.seen[1].text.contains("Form1.PushButton5_Click at line 104\r\r"));
        QCOMPARE(shell_.folders, QStringList{folder_.path() + "/Samples/"});
    }

    void helpSaysWhereToAskAndChangesNothing() {
        form_->Text1->setText("/a.mp3");
        const QByteArray settings = test::readAll(config_.path() + "/Quorvane.ini");
        form_->PushButton4_Click();
        QCOMPARE(prompts_.seen.size(), 1);
        const Prompt& p = prompts_.seen.first();
        QCOMPARE(p.kind, Prompt::Message);
        QVERIFY(p.text.startsWith("Questions? Please contact Team Quorvane at https://"));
        QVERIFY(p.text.endsWith("/contact/"));
        QCOMPARE(form_->Text1->text(), QStringLiteral("/a.mp3"));
        QCOMPARE(test::readAll(config_.path() + "/Quorvane.ini"), settings);
        QVERIFY(shell_.folders.isEmpty() && shell_.urls.isEmpty());
    }

    void buildMakesTwoDifferentAudibleSamples() {
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
        QList<QVector<qint16>> pieces;
        for (const char* name : {"sample1.mp3", "sample2.mp3"}) {
            const QString path = QStringLiteral(BLENDORA_PROGRAM_DIR "/Samples/") + name;
            const EngineHandle h =
                BASS_StreamCreateFile(0, path.utf16(), 0, 0, kStreamDecode | kUnicodeName);
            QVERIFY2(h, qPrintable(path));
            ChannelInfo info;
            QVERIFY(BASS_ChannelGetInfo(h, &info));
            QCOMPARE(info.freq, 44100u);
            QVector<qint16> samples;
            char buffer[20000];
            for (std::int32_t n; (n = BASS_ChannelGetData(h, buffer, sizeof buffer)) > 0;)
                samples.append(QVector<qint16>(reinterpret_cast<qint16*>(buffer),
                                               reinterpret_cast<qint16*>(buffer) + n / 2));
            const double seconds = samples.size() / 2.0 / 44100;
            QVERIFY2(seconds >= 20 && seconds <= 30, qPrintable(QString::number(seconds)));
            double energy = 0;
            for (qint16 s : samples)
                energy += double(s) * s;
            QVERIFY(std::sqrt(energy / samples.size()) > 1000);
            pieces << samples;
        }
        BASS_Free();
        QVERIFY(pieces[0] != pieces[1]);
    }
};

QTEST_MAIN(TestSamples)
#include "test_samples.moc"
