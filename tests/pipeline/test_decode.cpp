// Decoding an input through the engine into this program's WAV layout.
#include "Decode.h"
#include "MixJob.h"
#include "TestSupport.h"
#include "Wave.h"
#include "WaveFiles.h"

#include <QTimer>
#include <QtEndian>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace blendora;
using blendora::test::Prompt;
using blendora::test::ScriptedPrompts;

namespace {

quint32 u32(const QByteArray& b, int at) {
    return qFromLittleEndian<quint32>(b.constData() + at);
}
quint16 u16(const QByteArray& b, int at) {
    return qFromLittleEndian<quint16>(b.constData() + at);
}

// An engine that counts blocks and can fail part-way, over the real one.
struct CountingEngine : EngineSeam {
    int blocks = 0;
    std::int32_t GetData(EngineHandle h, void* buffer, std::uint32_t length) {
        ++blocks;
        return EngineSeam::ChannelGetData(h, buffer, length);
    }
    std::int32_t ChannelGetData(EngineHandle h, void* buffer, std::uint32_t length) override {
        return GetData(h, buffer, length);
    }
};

} // namespace

class TestDecode : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    ScriptedPrompts prompts_;
    CountingEngine engine_;

  private slots:
    void initTestCase() { QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr)); }
    void cleanupTestCase() { BASS_Free(); }
    void init() { prompts_ = ScriptedPrompts(); }

    void writesTheHeaderAndEverySample_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("44100 stereo") << 44100 << 2;
        QTest::newRow("44100 mono") << 44100 << 1;
        QTest::newRow("22050 stereo") << 22050 << 2;
    }

    void writesTheHeaderAndEverySample() {
        QFETCH(int, rate);
        QFETCH(int, channels);
        const QString mp3 = test::makeToneMp3(dir_.path(), "tone ✓ " + QString::number(rate), rate,
                                              channels, 1.5, 440);
        const QString wav = dir_.path() + "/out.wav";
        test::writeAll(wav, QByteArray(2000000, 'z')); // a longer file there before
        Decoder decoder(engine_, prompts_);
        const WaveFileInfo written = decoder.DecodeMp3ToWav(mp3, test::at(wav));
        const QByteArray bytes = test::readAll(wav);
        QCOMPARE(bytes.left(4), QByteArray("RIFF"));
        QCOMPARE(bytes.mid(8, 8), QByteArray("WAVEfmt "));
        QCOMPARE(u32(bytes, 16), 16u);
        QCOMPARE(u16(bytes, 20), 1);
        QCOMPARE(u16(bytes, 22), channels);
        QCOMPARE(u32(bytes, 24), quint32(rate));
        QCOMPARE(u32(bytes, 28), quint32(rate * channels * 2));
        QCOMPARE(u16(bytes, 32), channels * 2);
        QCOMPARE(u16(bytes, 34), 16);
        QCOMPARE(bytes.mid(36, 4), QByteArray("data"));
        // Exactly the samples the MP3 was made from, and nothing after them.
        const quint32 data = u32(bytes, 40);
        QCOMPARE(data, quint32(qRound(1.5 * rate) * channels * 2));
        QCOMPARE(u32(bytes, 4), data + 36);
        QCOMPARE(bytes.size(), qsizetype(44 + data));
        QVERIFY(prompts_.seen.isEmpty());
        // What the merge is planned with is what its header reader would find.
        QCOMPARE(written, ReadWaveHeader(test::at(wav), prompts_));
        QCOMPARE(written.dataSize, qint64(data));
    }

    // The message names the file; why it was refused travels with the refusal.
    void unreadableInputsGiveTheMessageAndNoFile_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("because");
        QTest::newRow("text") << "notes.mp3" << QByteArray("Dear diary, today I mixed nothing.\n")
                              << "it holds no sound Blendora knows";
        QTest::newRow("empty") << "empty.mp3" << QByteArray() << "it is empty";
        QTest::newRow("directory") << "folder.mp3" << QByteArray("DIR") << "it is a folder";
        QTest::newRow("fifo") << "pipe.mp3" << QByteArray("FIFO")
                              << "it is a pipe or a device, not a file";
        QTest::newRow("missing") << "gone.mp3" << QByteArray("MISSING")
                                 << "it could not be opened (No such file or directory)";
        QTest::newRow("picture")
            << "cover.mp3"
            << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x10\0\0\0\x10\x08\x02\0\0\0", 29)
            << "it is a picture";
        QTest::newRow("program") << "true.mp3" << test::readAll("/usr/bin/true")
                                 << "it is a program";
        QTest::newRow("gzip") << "song.mp3.gz" << QByteArray("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10)
                              << "it is an archive or a compressed file, and holds no music "
                                 "Blendora knows";
    }

    void unreadableInputsGiveTheMessageAndNoFile() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, because);
        const QString input = dir_.path() + "/" + name;
        if (content == "DIR")
            QDir().mkpath(input);
        else if (content == "FIFO")
            QVERIFY(::mkfifo(QFile::encodeName(input).constData(), 0600) == 0);
        else if (content != "MISSING")
            test::writeAll(input, content);
        const QString wav = dir_.path() + "/never.wav";
        Decoder decoder(engine_, prompts_);
        try {
            decoder.DecodeMp3ToWav(input, test::at(wav));
            QFAIL("decoded");
        } catch (const UnreadableInput& unreadable) {
            QCOMPARE(unreadable.because(), because);
        }
        QCOMPARE(prompts_.texts(), QStringList{"Can't read the file..." + input});
        QCOMPARE(prompts_.seen[0].kind, Prompt::Message);
        QVERIFY(!QFile::exists(wav));
    }

    void wavNamedMp3DecodesAsTheWavItIs() {
        const QString input = dir_.path() + "/really a wav.mp3";
        test::writeToneWav(input, 32000, 2, 0.7, 1000);
        const QString wav = dir_.path() + "/copy.wav";
        Decoder decoder(engine_, prompts_);
        decoder.DecodeMp3ToWav(input, test::at(wav));
        QCOMPARE(test::readAll(wav), test::readAll(input));
    }

    void truncatedMp3DecodesWhatIsThere() {
        const QString mp3 = test::makeToneMp3(dir_.path(), "cut", 44100, 2, 3.0, 300);
        QByteArray bytes = test::readAll(mp3);
        bytes.truncate(bytes.size() / 2 + 77);
        test::writeAll(mp3, bytes);
        const QString wav = dir_.path() + "/cut.wav";
        Decoder decoder(engine_, prompts_);
        decoder.DecodeMp3ToWav(mp3, test::at(wav));
        const QByteArray out = test::readAll(wav);
        QCOMPARE(qsizetype(u32(out, 40)) + 44, out.size());
        QVERIFY(u32(out, 40) > 44100 * 4 && u32(out, 40) < 44100 * 4 * 2);
    }

    void manyDecodesKeepNoFilesOpen() {
        const QString mp3 = test::makeToneMp3(dir_.path(), "short", 44100, 2, 0.3, 500);
        Decoder decoder(engine_, prompts_);
        decoder.DecodeMp3ToWav(mp3, test::at(dir_.path() + "/a.wav"));
        const auto open = [] { return QDir("/proc/self/fd").count(); };
        const auto before = open();
        for (int i = 0; i < 30; ++i)
            decoder.DecodeMp3ToWav(mp3, test::at(dir_.path() + "/a.wav"));
        QCOMPARE(open(), before);
    }

    void eventLoopRunsWhileDecoding() {
        const QString mp3 = test::makeToneMp3(dir_.path(), "ten", 44100, 2, 10.0, 300);
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(0);
        engine_.blocks = 0;
        Decoder decoder(engine_, prompts_);
        decoder.DecodeMp3ToWav(mp3, test::at(dir_.path() + "/ten.wav"));
        QVERIFY(engine_.blocks >= 88); // 1,764,000 bytes in blocks of 20,000
        QVERIFY2(ticks >= engine_.blocks - 1, qPrintable(QString::number(ticks)));
    }

    void writeFailureRemovesThePartialFile() {
        // Writes past the size limit fail with EFBIG instead of a signal.
        const QString mp3 = test::makeToneMp3(dir_.path(), "big", 44100, 2, 5.0, 300);
        const QString wav = dir_.path() + "/limited.wav";
        struct rlimit old;
        getrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 100000;
        setrlimit(RLIMIT_FSIZE, &small);
        Decoder decoder(engine_, prompts_);
        bool threw = false;
        try {
            decoder.DecodeMp3ToWav(mp3, test::at(wav));
        } catch (const std::exception& e) {
            threw = QString(e.what()).contains("ulimit -f");
        }
        setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(threw);
        QVERIFY(!QFile::exists(wav));
    }

    void waitingDoesNotSpinTheProcessor() {
        const double before = test::cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        WaitSeconds(0.4);
        const qint64 waited = clock.elapsed();
        QVERIFY(waited >= 400);
        const double cpu = test::cpuSeconds() - before;
        // A spinning wait holds the processor for most of the time it waits, however busy the
        // machine; a sleeping one for a sliver of it.
        QVERIFY2(cpu < waited / 1000.0 / 4,
                 qPrintable(QStringLiteral("%1 s of processor in %2 ms").arg(cpu).arg(waited)));
    }
};

QTEST_GUILESS_MAIN(TestDecode)
#include "test_decode.moc"
