#include "AppTitle.h"
#include "TestSupport.h"
#include "Wave.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

using namespace blendora;
using namespace blendora::test;

namespace {

QByteArray le16(int v) {
    QByteArray b(2, '\0');
    qToLittleEndian<qint16>(qint16(v), b.data());
    return b;
}

QByteArray le32(quint32 v) {
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(v, b.data());
    return b;
}

// A "fmt " chunk of `size` bytes (16 or more) for 16-bit PCM.
QByteArray fmtChunk(int channels, int rate, quint32 size = 16) {
    QByteArray c = "fmt " + le32(size) + le16(1) + le16(channels) + le32(quint32(rate)) +
                   le32(quint32(rate * channels * 2)) + le16(channels * 2) + le16(16);
    c.append(QByteArray(int(size) - 16, '\0'));
    return c;
}

} // namespace

class WaveTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    WaveFileInfo readBytes(const QByteArray& bytes, ScriptedPrompts* seen = nullptr) {
        const QString file = path(QStringLiteral("in.wav"));
        writeAll(file, bytes);
        ScriptedPrompts prompts;
        const WaveFileInfo info = ReadWaveHeader(file, prompts);
        if (seen)
            *seen = prompts;
        return info;
    }

  private slots:
    void decoderHeader() {
        RiffHeader riff;
        riff.riffSize = 36 + 1000;
        WaveFormatChunk fmt;
        fmt.channels = 2;
        fmt.sampleRate = 44100;
        fmt.byteRate = 44100 * 4;
        fmt.blockAlign = 4;
        fmt.bitsPerSample = 16;
        WaveDataHeader data;
        data.dataSize = 1000;
        ScriptedPrompts prompts;
        const WaveFileInfo info =
            readBytes(waveHeaderBytes(riff, fmt, data) + QByteArray(1000, '\x11'), &prompts);
        QCOMPARE(info, (WaveFileInfo{44100, 16, 2, 44, 1000}));
        QVERIFY(prompts.seen.isEmpty());
    }

    void chunksWhereverTheyStand() {
        // A longer format chunk and a LIST chunk push "data" further on.
        const QByteArray list = "LIST" + le32(10) + "INFOabcdef";
        const QByteArray head = "RIFF" + le32(0) + "WAVE" + fmtChunk(1, 22050, 18) + list;
        WaveFileInfo info = readBytes(head + "data" + le32(0xFFFFFFF0u) + QByteArray(8, '\0'));
        QCOMPARE(info, (WaveFileInfo{22050, 16, 1, head.size() + 8, 0xFFFFFFF0ll}));

        // The first "data" counts, even inside another chunk.
        const QByteArray trap = "LIST" + le32(8) + "xxdataXY";
        const QByteArray early = "RIFF" + le32(0) + "WAVE" + fmtChunk(2, 8000) + trap;
        const QByteArray bytes = early + "data" + le32(4) + "abcd";
        info = readBytes(bytes);
        const qsizetype at = early.indexOf("data");
        QCOMPARE(info.dataOffset, at + 8);
        QCOMPARE(info.dataSize, qint64(qFromLittleEndian<quint32>(bytes.constData() + at + 4)));
        QCOMPARE(info.sampleRate, 8000);
    }

    void marksMissingOrCutGiveZeros_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray fmt = fmtChunk(2, 44100);
        const QByteArray riff = "RIFF" + le32(0) + "WAVE";
        QTest::newRow("no fmt") << riff + "data" + le32(4) + "abcd";
        QTest::newRow("no data") << riff + fmt + "dat" + le32(4);
        QTest::newRow("data past 100 bytes")
            << riff + fmt + "JUNK" + le32(60) + QByteArray(60, 'j') + "data" + le32(4);
        QTest::newRow("fmt fields cut off") << QByteArray("datafmt ") + le32(16) + le16(1);
        QTest::newRow("data size cut off") << riff + fmt + "data" + le16(7);
        QTest::newRow("lower case") << riff + fmt.toUpper() + "data" + le32(4);
    }
    void marksMissingOrCutGiveZeros() {
        QFETCH(QByteArray, bytes);
        QCOMPARE(readBytes(bytes), WaveFileInfo{});
    }

    void unreadableFilesGiveZerosQuietly() {
        ScriptedPrompts prompts;
        const QString missing = path(QStringLiteral("missing.wav"));
        QCOMPARE(ReadWaveHeader(missing, prompts), WaveFileInfo{});
        QVERIFY(!QFile::exists(missing));

        writeAll(path(QStringLiteral("empty.wav")), {});
        QCOMPARE(ReadWaveHeader(path(QStringLiteral("empty.wav")), prompts), WaveFileInfo{});
        QCOMPARE(ReadWaveHeader(dir.path(), prompts), WaveFileInfo{});
        QVERIFY(prompts.seen.isEmpty());
    }

    void impossibleNamesAreNotFound_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("nul") << dir.filePath(QStringLiteral("a")) + QChar(u'\0') +
                                    QStringLiteral("b");
    }
    void impossibleNamesAreNotFound() {
        QFETCH(QString, name);
        writeAll(path(QStringLiteral("a")), QByteArray("RIFF....WAVEfmt "));
        ScriptedPrompts prompts;
        QCOMPARE(ReadWaveHeader(name, prompts), WaveFileInfo{});
        QCOMPARE(prompts.seen.size(), 1);
        QCOMPARE(prompts.seen[0].kind, Prompt::Message);
        QCOMPARE(prompts.seen[0].text, QStringLiteral("The file is not found."));
        QCOMPARE(prompts.seen[0].caption, appTitle());
    }
};

QTEST_GUILESS_MAIN(WaveTest)
#include "test_wave.moc"
