#include "AppTitle.h"
#include "TestSupport.h"
#include "Wave.h"
#include "WaveFiles.h"

#include <QtEndian>
#include <QtTest>

using namespace blendora;
using namespace blendora::test;

namespace {
QByteArray le(quint32 v, int bytes = 4) {
    char b[4];
    qToLittleEndian<quint32>(v, b);
    return QByteArray(b, bytes);
}
// A "fmt " chunk of `size` bytes for 16-bit PCM.
QByteArray fmt(int channels, int rate, int size = 16) {
    return "fmt " + le(size) + le(1, 2) + le(channels, 2) + le(rate) + le(rate * channels * 2) +
           le(channels * 2, 2) + le(16, 2) + QByteArray(size - 16, '\0');
}
const QByteArray riff = "RIFF" + le(0) + "WAVE";
} // namespace

class WaveTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    ScriptedPrompts prompts;

    WaveFileInfo read(const QByteArray& bytes) {
        writeAll(dir.filePath(QStringLiteral("in.wav")), bytes);
        return ReadWaveHeader(test::at(dir.filePath(QStringLiteral("in.wav"))), prompts);
    }

  private slots:
    void init() { prompts = ScriptedPrompts(); }

    void chunksWhereverTheyStand() {
        writeToneWav(dir.filePath(QStringLiteral("tone.wav")), 44100, 2, 0.01, 440);
        QCOMPARE(ReadWaveHeader(test::at(dir.filePath(QStringLiteral("tone.wav"))), prompts),
                 (WaveFileInfo{44100, 16, 2, 44, 441 * 4}));

        // A longer format chunk and a LIST chunk push "data" on; sizes past 2 GiB stay positive.
        const QByteArray head = riff + fmt(1, 22050, 18) + "LIST" + le(10) + "INFOabcdef";
        QCOMPARE(read(head + "data" + le(0xFFFFFFF0u) + "abcd"),
                 (WaveFileInfo{22050, 16, 1, head.size() + 8, 0xFFFFFFF0ll}));

        // The first "data" counts, even inside another chunk.
        const QByteArray early = riff + fmt(2, 8000) + "LIST" + le(8) + "xxdata";
        QCOMPARE(read(early + "\1\2" + "data" + le(4) + "abcd"),
                 (WaveFileInfo{8000, 16, 2, early.size() + 4, 0x61640201}));
        QVERIFY(prompts.seen.isEmpty());
    }

    void marksMissingOrCutGiveZeros_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("no fmt") << riff + "data" + le(4) + "abcd";
        QTest::newRow("no data") << riff + fmt(2, 44100) + "dat" + le(4);
        QTest::newRow("data past 100 bytes")
            << riff + fmt(2, 44100) + "JUNK" + le(60) + QByteArray(60, 'j') + "data" + le(4);
        QTest::newRow("fmt fields cut off") << "datafmt " + le(16) + le(1, 2);
        QTest::newRow("data size cut off") << riff + fmt(2, 44100) + "data" + le(7, 2);
        QTest::newRow("other case") << riff + fmt(2, 44100).toUpper() + "data" + le(4);
    }
    void marksMissingOrCutGiveZeros() {
        QFETCH(QByteArray, bytes);
        QCOMPARE(read(bytes), WaveFileInfo{});
    }

    void unreadableFilesGiveZerosQuietly() {
        const QString missing = dir.filePath(QStringLiteral("missing.wav"));
        QCOMPARE(ReadWaveHeader(test::at(missing), prompts), WaveFileInfo{});
        QVERIFY(!QFile::exists(missing));
        QCOMPARE(read({}), WaveFileInfo{});
        QCOMPARE(ReadWaveHeader(test::at(dir.path()), prompts), WaveFileInfo{});
        QVERIFY(prompts.seen.isEmpty());
    }

    void impossibleNamesAreNotFound() {
        read(riff + fmt(2, 44100) + "data" + le(0));
        for (const QString& name :
             {QString(), dir.filePath(QStringLiteral("in.wav")) + QChar(u'\0')}) {
            init();
            QCOMPARE(ReadWaveHeader(test::at(name), prompts), WaveFileInfo{});
            QCOMPARE(prompts.seen.size(), 1);
            QCOMPARE(prompts.seen[0].kind, Prompt::Message);
            QCOMPARE(prompts.seen[0].text, QStringLiteral("The file is not found."));
            QCOMPARE(prompts.seen[0].caption, appTitle());
        }
    }
};

QTEST_GUILESS_MAIN(WaveTest)
#include "test_wave.moc"
