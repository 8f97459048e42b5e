#include "Failure.h"
#include "Form1View.h"
#include "Merge.h"
#include "TestSupport.h"
#include "Wave.h"
#include "WaveConvert.h"
#include "WaveFiles.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

using namespace blendora;
using namespace blendora::test;

namespace {

// Records what the bar is given; it refuses what the real bar refuses.
class RecordingView : public BarView {
  public:
    void setProgressValue(int v) override {
        BarView::setProgressValue(v);
        values << v;
    }
    QList<int> values;
};

QByteArray le32(quint32 v) {
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

QByteArray words(std::initializer_list<int> list) {
    QByteArray b;
    for (int w : list) {
        char c[2];
        qToLittleEndian<qint16>(qint16(w), c);
        b.append(c, 2);
    }
    return b;
}

QByteArray noise(qint64 bytes, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray b(bytes, '\0');
    for (char& c : b)
        c = char(random.bounded(256));
    return b;
}

qint16 wordAt(const QByteArray& bytes, qint64 at) {
    return qFromLittleEndian<qint16>(bytes.constData() + at);
}

// The merge one statement after another, one block and one word at a time.
QByteArray referenceMerge(const QByteArray& f0, const WaveFileInfo& i0, const QByteArray& f1,
                          const WaveFileInfo& i1) {
    const bool firstLonger = i0.dataSize >= i1.dataSize;
    QByteArray out = firstLonger ? f0 : f1;
    const WaveFileInfo& t = firstLonger ? i0 : i1;
    const auto word = [](const QByteArray& f, qint64 at) {
        const int lo = at < f.size() ? uchar(f[at]) : 0;
        const int hi = at + 1 < f.size() ? uchar(f[at + 1]) : 0;
        return int(qint16(lo | hi << 8));
    };
    qint64 p = 0;
    do {
        QByteArray block(512, '\0');
        for (int i = 0; i < 256; ++i, p += 2) {
            const int a = p < i0.dataSize ? word(f0, i0.dataOffset + p) : 0;
            const int b = p < i1.dataSize ? word(f1, i1.dataOffset + p) : 0;
            qToLittleEndian<qint16>(qint16(a / 2 + b / 2), block.data() + 2 * i);
        }
        const qint64 at = t.dataOffset + p - 512;
        if (out.size() < at + 512)
            out.append(QByteArray(at + 512 - out.size(), '\0'));
        out.replace(at, 512, block);
    } while (p < t.dataSize + 1);
    return out;
}

// The strength of one frequency in a stretch of one channel, as a peak amplitude.
double toneLevel(const QByteArray& file, const WaveFileInfo& info, int channel, double from,
                 double to, double frequency) {
    const qint64 frameBytes = 2 * info.channels;
    const qint64 first = qint64(from * info.sampleRate), last = qint64(to * info.sampleRate);
    double re = 0, im = 0;
    for (qint64 n = first; n < last; ++n) {
        const double x = wordAt(file, info.dataOffset + n * frameBytes + 2 * channel);
        const double phase = 2 * M_PI * frequency * double(n) / info.sampleRate;
        re += x * std::cos(phase);
        im += x * std::sin(phase);
    }
    return 2 * std::hypot(re, im) / double(last - first);
}

QList<int> reportedLines(const ScriptedPrompts& prompts) {
    QList<int> lines;
    for (const Prompt& p : prompts.seen)
        lines << p.text.section(QStringLiteral("at line "), 1)
                     .section(QLatin1Char('\r'), 0, 0)
                     .toInt();
    return lines;
}

} // namespace

class MergeTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString first, second, output;
    RecordingView view;
    ScriptedPrompts prompts;

    // Writes the inputs (a null one stays missing) and merges them.
    bool merge(const QByteArray& a, const QByteArray& b) {
        if (!a.isNull())
            writeAll(first, a);
        if (!b.isNull())
            writeAll(second, b);
        return mergeFiles();
    }

    // False when the merge threw that the two files could not be mixed; any other words fail.
    bool mergeFiles() {
        try {
            MergeWave(test::at(first), test::at(second), test::at(output), view, prompts);
            return true;
        } catch (const Condition& c) {
            if (describe(c) != QStringLiteral("The two files could not be mixed."))
                throw;
            return false;
        }
    }

    WaveFileInfo infoOf(const QString& path) {
        ScriptedPrompts quiet;
        return ReadWaveHeader(test::at(path), quiet);
    }

  private slots:
    void init() {
        for (const QString& name : QDir(dir.path()).entryList(QDir::Files))
            QFile::remove(dir.filePath(name));
        first = dir.filePath(QStringLiteral("temp1.wav"));
        second = dir.filePath(QStringLiteral("temp2.wav"));
        output = dir.filePath(QStringLiteral("result.wav"));
        view = RecordingView();
        prompts = ScriptedPrompts();
    }

    void eachInputAtHalf() {
        const QList<std::array<int, 3>> cases = {
            {-3, -3, -2}, {32767, 32767, 32766}, {-32768, -32768, -32768},
            {1, 0, 0},    {-1, -1, 0},           {5, -5, 0}};
        for (const auto& [a, b, mixed] : cases) {
            QVERIFY(merge(waveBytes(words({a}), {44100, 1}), waveBytes(words({b}), {44100, 1})));
            QCOMPARE(wordAt(readAll(output), 44), qint16(mixed));
        }
        QVERIFY(prompts.seen.isEmpty());
    }

    // Chunked reading and writing give the very bytes of the block-by-block statements.
    void sameBytesAsBlockByBlock_data() {
        QTest::addColumn<QByteArray>("a");
        QTest::addColumn<QByteArray>("b");
        QTest::addColumn<int>("blocks");
        const QByteArray list = "LIST" + le32(26) + "INFOISFT" + le32(14) + "Lavf58.76.100x";
        const QByteArray trailer = "id3 " + le32(92) + noise(92, 9);
        const QByteArray empty = waveBytes({});
        QByteArray tie = waveBytes(noise(1001, 1));
        qToLittleEndian<quint32>(12345, tie.data() + 4); // tells the first header apart
        QTest::newRow("odd tie") << tie << waveBytes(noise(1001, 2)) << 2;
        QTest::newRow("whole blocks")
            << waveBytes(noise(512, 1)) << waveBytes(noise(512 * 3, 2)) << 4;
        QTest::newRow("both empty") << empty << empty << 1;
        QTest::newRow("LIST before data")
            << waveBytes(noise(3000, 3), {.before = list}) << waveBytes(noise(5001, 4)) << 10;
        QTest::newRow("chunk after odd data")
            << waveBytes(noise(2001, 5), {.after = trailer}) << waveBytes(noise(1000, 6)) << 4;
        QTest::newRow("cut short")
            << waveBytes(noise(1501, 7), {.declared = 4000}) << waveBytes(noise(3000, 8)) << 8;
        QTest::newRow("one chunk and a block")
            << waveBytes(noise(1 << 20, 9)) << waveBytes(noise(777777, 10)) << 2049;
        QTest::newRow("several chunks")
            << waveBytes(noise(2400001, 11), {.before = list})
            << waveBytes(noise(3300000, 12), {.after = trailer}) << 6446;
        QTest::newRow("second missing")
            << waveBytes(noise(5000, 13), {44100, 1}) << QByteArray() << 10;
    }
    void sameBytesAsBlockByBlock() {
        QFETCH(QByteArray, a);
        QFETCH(QByteArray, b);
        QFETCH(int, blocks);
        merge(a, b);
        const QByteArray expected = referenceMerge(a, infoOf(first), b, infoOf(second));
        const QByteArray out = readAll(output);
        QCOMPARE(out.size(), expected.size());
        QVERIFY(out == expected);
        const WaveFileInfo info = infoOf(output);
        QCOMPARE(info.dataSize / 512 + 1, blocks);
        QCOMPARE(view.progressValue(), 100);
        QCOMPARE(out.mid(info.dataOffset + info.dataSize + 1, 512 * blocks - info.dataSize - 1),
                 QByteArray(512 * blocks - info.dataSize - 1, '\0'));
    }

    void missingInputsCountAsSilence() {
        const QByteArray samples = noise(3000, 3);
        QVERIFY(merge(waveBytes(samples), QByteArray()));
        const QByteArray out = readAll(output);
        for (int p = 0; p < 3000; p += 2)
            QCOMPARE(wordAt(out, 44 + p), qint16(wordAt(samples, p) / 2));
        QCOMPARE(reportedLines(prompts), QList<int>{122});
        QVERIFY(!QFile::exists(second));

        // With nothing to copy the merge still ends, and says it failed.
        init();
        QVERIFY(!merge(QByteArray(), QByteArray()));
        QCOMPARE(reportedLines(prompts).value(0), 114);
        QVERIFY(!QFile::exists(first));
    }

    void barFollowsThePosition() {
        const qint64 size = 300 * 512 + 77;
        view.setProgressValue(100); // left from an earlier merge
        view.values.clear();
        QVERIFY(merge(waveBytes(noise(size, 1)), waveBytes(noise(9000, 2))));
        QList<int> expected;
        for (qint64 p = 512, bar = 100; p < size + 512 + 1; p += 512)
            if (const int v = int(p * 100 / size); v <= 100 && v != bar)
                expected << int(bar = v);
        QCOMPARE(view.values, expected << 100);
        QVERIFY(std::is_sorted(view.values.begin(), view.values.end()));

        // Values the bar cannot take leave it as it was.
        for (const auto& [current, total] :
             {std::pair<qint64, qint64>{512, 0}, {1030, 1000}, {-10, 1000}, {qint64(1) << 40, 1}}) {
            ShowMergeProgress(current, total, view);
            QCOMPARE(view.progressValue(), 100);
        }
        ShowMergeProgress(0xFFFFFFFFll / 3, 0xFFFFFFFFll, view);
        QCOMPARE(view.progressValue(), 33);
    }

    void headersOfNoRealSoundAreMixedAsTheyStand() {
        // Found by the fuzzer: 7936 channels asked for a gigabyte of conversion buffers. Such a
        // header is no sound to convert; its words are mixed as they stand, as for any header
        // the merge cannot read a format from.
        for (const auto& [rate, channels] : {std::pair{16000, 7936}, {100000000, 2}}) {
            prompts.seen.clear();
            const QByteArray odd = waveBytes(noise(4096, 3), {rate, channels});
            QVERIFY(merge(odd, waveBytes(noise(4096, 4))));
            QVERIFY(prompts.seen.isEmpty());
            QCOMPARE(readAll(output).left(44), odd.left(44));
        }
    }

    void failuresAreReportedOnce() {
        // No folder for the output: the copy, the opening and the first write fail, once each.
        const QByteArray a = waveBytes(noise(3 << 20, 1));
        const QByteArray b = waveBytes(noise(1 << 20, 2));
        output = dir.filePath(QStringLiteral("gone/result.wav"));
        QVERIFY(!merge(a, b));
        QCOMPARE(reportedLines(prompts), (QList<int>{114, 124, 142}));

        // A file size limit met part way is a condition of the machine: it ends the merge at
        // once, in plain words for the job to tell, with no report.
        init();
        writeAll(first, a);
        writeAll(second, b);
        rlimit saved{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
        rlimit small = saved;
        small.rlim_cur = 1 << 20;
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        QString told;
        try {
            mergeFiles();
        } catch (const Condition& c) {
            told = describe(c);
        }
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY2(told.contains("(ulimit -f: 1024 KiB)"), qPrintable(told));
        QVERIFY(prompts.seen.isEmpty());

        // A conversion that cannot be written stops before the output is touched; it is
        // reported under the statement that read that input.
        for (const auto& [rate0, rate1, line] :
             {std::tuple{44100, 48000, 106}, {48000, 44100, 108}}) {
            init();
            writeToneWav(first, rate0, 2, 0.5, 440);
            writeToneWav(second, rate1, 2, 0.5, 440);
            output = dir.filePath(QStringLiteral("gone/result.wav"));
            QVERIFY(!mergeFiles());
            QCOMPARE(reportedLines(prompts), QList<int>{line});
            QVERIFY(view.values.isEmpty());
        }
    }

    // Each tone keeps its pitch, and the mix lasts as long as the longer input plays.
    void differentFormatsKeepTheirPitch_data() {
        QTest::addColumn<int>("rate0");
        QTest::addColumn<int>("channels0");
        QTest::addColumn<double>("seconds0");
        QTest::addColumn<int>("rate1");
        QTest::addColumn<double>("seconds1");
        QTest::newRow("44100 and 48000") << 44100 << 2 << 2.0 << 48000 << 3.0;
        QTest::newRow("mono 22050 playing longer") << 22050 << 1 << 4.0 << 44100 << 2.0;
    }
    void differentFormatsKeepTheirPitch() {
        QFETCH(int, rate0);
        QFETCH(int, channels0);
        QFETCH(double, seconds0);
        QFETCH(int, rate1);
        QFETCH(double, seconds1);
        writeToneWav(first, rate0, channels0, seconds0, 440);
        writeToneWav(second, rate1, 2, seconds1, 1000);
        QVERIFY(mergeFiles());
        QVERIFY(prompts.seen.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 3);

        const QByteArray out = readAll(output);
        const WaveFileInfo info = infoOf(output);
        QCOMPARE(info.sampleRate, std::max(rate0, rate1));
        QCOMPARE(info.channels, qint16(2));
        const double longer = std::max(seconds0, seconds1), shorter = std::min(seconds0, seconds1);
        QVERIFY(qAbs(info.dataSize - qint64(longer * info.sampleRate) * 4) <= 16);
        const double half = 0.25 * 32767;
        const double alone = seconds0 > seconds1 ? 440 : 1000, gone = 1440 - alone;
        for (int channel = 0; channel < 2; ++channel) {
            QVERIFY(toneLevel(out, info, channel, 0.5, 1.5, 440) > 0.9 * half);
            QVERIFY(toneLevel(out, info, channel, 0.5, 1.5, 1000) > 0.9 * half);
            // Where a resampled tone would land if it were not resampled.
            QVERIFY(toneLevel(out, info, channel, 0.5, 1.5, 440.0 * info.sampleRate / rate0) <
                    0.05 * half);
            QVERIFY(toneLevel(out, info, channel, shorter + 0.2, longer - 0.1, alone) > 0.9 * half);
            QVERIFY(toneLevel(out, info, channel, shorter + 0.2, longer - 0.1, gone) < 0.05 * half);
        }
    }

    // The sizes the merge is planned with are never short of what it writes.
    void plannedSizesCoverWhatIsWritten_data() {
        QTest::addColumn<int>("rate0");
        QTest::addColumn<int>("channels0");
        QTest::addColumn<int>("rate1");
        QTest::newRow("8000 mono, 44100") << 8000 << 1 << 44100;
        QTest::newRow("22050 stereo, 48000") << 22050 << 2 << 48000;
        QTest::newRow("48000 stereo, 44100") << 48000 << 2 << 44100;
        QTest::newRow("11025 mono, 192000") << 11025 << 1 << 192000;
    }
    void plannedSizesCoverWhatIsWritten() {
        QFETCH(int, rate0);
        QFETCH(int, channels0);
        QFETCH(int, rate1);
        writeToneWav(first, rate0, channels0, 1.2345, 440);
        writeToneWav(second, rate1, 2, 0.5, 440);
        const MergePlan plan = PlanMerge(ReadMergeInput(test::at(first), prompts),
                                         ReadMergeInput(test::at(second), prompts));
        QCOMPARE(plan.common.sampleRate, std::max(rate0, rate1));
        const QString input[2] = {first, second};
        for (int k = 0; k < 2; ++k) {
            const WaveFileInfo from = infoOf(input[k]);
            if (from.sampleRate == plan.common.sampleRate && from.channels == 2) {
                QCOMPARE(plan.converted[k], 0);
                continue;
            }
            const WaveFileInfo converted =
                ConvertWave(test::at(input[k]), from, QFileInfo(input[k]).size(), plan.common,
                            plan.converted[k], test::at(dir.filePath("copy.wav")), view);
            QVERIFY(converted.dataSize <= plan.converted[k]);
            QVERIFY(converted.dataSize >= plan.converted[k] - 4);
            // A plan short of what is written would pass the checks made by it.
            QVERIFY_THROWS_EXCEPTION(
                Failure,
                ConvertWave(test::at(input[k]), from, QFileInfo(input[k]).size(), plan.common,
                            converted.dataSize - 2, test::at(dir.filePath("copy.wav")), view));
        }
        QVERIFY(mergeFiles());
        QVERIFY(QFileInfo(output).size() <= plan.output);
        QVERIFY(QFileInfo(output).size() >= plan.output - 4);
    }

    // A conversion may come out a frame short of its plan: the longer input is the one that is
    // longer once converted.
    void theLongerInputIsTheLongerOnceConverted() {
        // 1001 frames at 8 kHz are 5518.01 at 44.1 kHz: planned as 5519, the second's length.
        QVERIFY(merge(waveBytes(QByteArray(1001 * 4, '\x10'), {.rate = 8000}),
                      waveBytes(QByteArray(5519 * 4, '\x20'))));
        QCOMPARE(infoOf(output).dataSize, 5519 * 4);
    }

    // 8 kHz mono that passes 4 GiB at 44.1 kHz stereo: refused with the figures before a
    // byte is written. The input is sparse, so it costs no disk.
    void overLongConversionIsRefusedUpFront() {
        const qint64 declared = 400'000'000; // 6 h 56 min at 8 kHz mono
        writeAll(first, waveBytes({}, {.rate = 8000, .channels = 1, .declared = declared}));
        QVERIFY(::truncate(QFile::encodeName(first).constData(), 44 + declared) == 0);
        writeToneWav(second, 44100, 2, 0.5, 440);

        QString why;
        try {
            mergeFiles();
        } catch (const Condition& c) {
            why = describe(c);
        }
        QVERIFY2(why.startsWith("The first file is too long to be mixed with the second one: "
                                "brought to 44100 Hz stereo, it would need 4206 MiB of sound "
                                "(6 h 56 min 40 s), and a WAV file holds at most 4095 MiB "
                                "(6 h 45 min 47 s at that rate)."),
                 qPrintable(why));
        QVERIFY(prompts.seen.isEmpty());
        // Such a plan reaching the conversion all the same is a fault of ours.
        const MergePlan plan = PlanMerge(ReadMergeInput(test::at(first), prompts),
                                         ReadMergeInput(test::at(second), prompts));
        QVERIFY_THROWS_EXCEPTION(Condition, MergeWave(plan, test::at(first), test::at(second),
                                                      test::at(output), view, prompts));
        QCOMPARE(reportedLines(prompts), QList<int>{106});
        QVERIFY(prompts.seen[0].text.contains("that a WAV file can hold"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{"temp1.wav", "temp2.wav"}));
    }

    void manyChannelsBecomeStereo() {
        QByteArray samples;
        for (int f = 0; f < 1000; ++f)
            samples += words({1000, -1000, 400, 0});
        QVERIFY(merge(waveBytes(samples, {44100, 4}), waveBytes({})));
        const QByteArray out = readAll(output);
        QCOMPARE(infoOf(output), (WaveFileInfo{44100, 16, 2, 44, 4000}));
        // The copy's header declares what it holds: sizes, byte rate and block align.
        QCOMPARE(out.left(44), waveBytes(QByteArray(4000, '\0')).left(44));
        // Front sides apart, centre and LFE on both, each side their average; then halved.
        QCOMPARE(wordAt(out, 44), qint16(467 / 2));
        QCOMPARE(wordAt(out, 46), qint16(-200 / 2));
    }
};

QTEST_GUILESS_MAIN(MergeTest)
#include "test_merge.moc"
