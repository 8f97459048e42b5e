// The audio engine as the program drives it: open by content, decode with the program's
// loop, and answer errors for everything that is not a live channel.
#include "AudioEngine.h"
#include "FileSource.h"
#include "ModuleChannel.h"
#include "MpegChannel.h"
#include "MpegProbe.h"
#include "TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <cmath>
#include <sndfile.h>
#include <sys/stat.h>
#include <vector>

using namespace blendora;
using blendora::test::makeToneMp3;
using blendora::test::readAll;
using blendora::test::run;
using blendora::test::waveBytes;
using blendora::test::writeAll;
using blendora::test::writeToneWav;

namespace {

struct Decoded {
    ChannelInfo info;
    std::vector<qint16> samples;
    bool positionsAgree = true; // GetPosition always equalled the bytes delivered
    bool ended = false;         // the loop stopped on its own
    qint64 frames() const { return info.chans ? qint64(samples.size()) / info.chans : 0; }
};

// The program's own decode loop, with a bound so a loop that never ends fails instead.
Decoded decodeAll(EngineHandle h) {
    Decoded d;
    BASS_ChannelGetInfo(h, &d.info);
    QByteArray buffer(20000, '\0');
    qint64 bytes = 0;
    for (int calls = 0; calls < 200000; ++calls) {
        if (!BASS_ChannelIsActive(h)) {
            d.ended = true;
            break;
        }
        const int n = BASS_ChannelGetData(h, buffer.data(), 20000);
        if (n > 0) {
            bytes += n;
            for (int i = 0; i + 1 < n; i += 2)
                d.samples.push_back(qFromLittleEndian<qint16>(buffer.constData() + i));
        }
        d.positionsAgree &= BASS_ChannelGetPosition(h, 0) == quint64(bytes);
    }
    return d;
}

EngineHandle openStream(const QString& path) {
    const QByteArray name = path.toUtf8();
    return BASS_StreamCreateFile(0, name.constData(), 0, 0, kStreamDecode);
}

EngineHandle openMusic(const QString& path, std::uint32_t freq = 0) {
    const QByteArray name = path.toUtf8();
    return BASS_MusicLoad(0, name.constData(), 0, 0, kStreamDecode | kMusicRampNormal, freq);
}

// The 16-bit samples of a WAV written by writeToneWav.
std::vector<qint16> wavSamples(const QString& path) {
    const QByteArray bytes = readAll(path);
    std::vector<qint16> out;
    for (qsizetype i = 44; i + 1 < bytes.size(); i += 2)
        out.push_back(qFromLittleEndian<qint16>(bytes.constData() + i));
    return out;
}

// One channel's RMS level and zero crossings per second over [from, to) frames.
struct Level {
    double rms = 0;
    double crossingsPerSecond = 0;
};

Level measure(const Decoded& d, qint64 from, qint64 to, int channel = 0) {
    Level l;
    const int chans = int(d.info.chans);
    double sum = 0;
    int crossings = 0;
    for (qint64 f = from; f < to; ++f) {
        const double v = d.samples[size_t(f * chans + channel)];
        sum += v * v;
        if (f > from && (d.samples[size_t((f - 1) * chans + channel)] < 0) != (v < 0))
            ++crossings;
    }
    l.rms = std::sqrt(sum / double(to - from));
    l.crossingsPerSecond = crossings * double(d.info.freq) / double(to - from);
    return l;
}

// A 4-channel "M.K." module: one looped square-wave sample played for eight rows.
QByteArray makeMod() {
    QByteArray mod(1084 + 1024, '\0');
    mod.replace(0, 4, "test");
    char* sample = mod.data() + 20;
    qToBigEndian<quint16>(32, sample + 22); // length in words
    sample[25] = 64;                        // volume
    qToBigEndian<quint16>(32, sample + 28); // loop the whole sample
    mod[950] = 1;                           // song length
    mod[951] = 127;
    mod.replace(1080, 4, "M.K.");
    char* row0 = mod.data() + 1084;
    row0[0] = 0x01; // period 428 (C-2), sample 1
    row0[1] = char(0xAC);
    row0[2] = 0x10;
    char* row7 = row0 + 7 * 16;
    row7[2] = 0x0D; // pattern break: the song ends after row 7
    QByteArray data(64, '\0');
    for (int i = 0; i < 64; ++i)
        data[i] = char(i < 32 ? 100 : -100);
    return mod + data;
}

void writeSndfile(const QString& path, int format, int rate, const std::vector<float>* floats,
                  const std::vector<int>* ints) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = format;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    QVERIFY(f);
    if (floats)
        sf_write_float(f, floats->data(), sf_count_t(floats->size()));
    if (ints)
        sf_write_int(f, ints->data(), sf_count_t(ints->size()));
    sf_close(f);
}

} // namespace

class TestEngine : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    // Decoding a hundred seconds of a song, measured once in this run: a refusal takes less.
    double songCpu_ = -1;
    double songCpu() {
        if (songCpu_ < 0) {
            const QString song = makeToneMp3(dir.path(), "ten", 44100, 2, 10.0, 440);
            const double before = test::cpuSeconds();
            bool decoded = true;
            for (int i = 0; i < 10; ++i)
                decoded &= !test::decode(song).isEmpty();
            songCpu_ = decoded ? test::cpuSeconds() - before : 0;
        }
        return songCpu_;
    }

  private slots:
    // libmagic's own search would follow this to a database that is not there; ours is the
    // build's, by name.
    void initTestCase() { qputenv("MAGIC", "/nonexistent/magic.mgc"); }
    void init() { QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr)); }
    void cleanup() { BASS_Free(); }

    void lameMp3DecodesToItsOriginalLength_data() {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("exact");
        QTest::newRow("44100 stereo") << 44100 << 2 << true;
        QTest::newRow("44100 mono") << 44100 << 1 << true;
        QTest::newRow("22050 stereo") << 22050 << 2 << true;
        // At 32 kbps LAME has no room for its Info frame, so the length is unknowable.
        QTest::newRow("22050 mono, no Info frame") << 22050 << 1 << false;
    }

    void lameMp3DecodesToItsOriginalLength() {
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(bool, exact);
        const QString name = QStringLiteral("tone%1_%2").arg(rate).arg(channels);
        const QString mp3 = makeToneMp3(dir.path(), name, rate, channels, 1.7, 440);
        QVERIFY(!mp3.isEmpty());
        const EngineHandle h = openStream(mp3);
        QVERIFY(h);
        const Decoded d = decodeAll(h);
        QVERIFY(d.ended);
        QVERIFY(d.positionsAgree);
        QCOMPARE(d.info.freq, quint32(rate));
        QCOMPARE(d.info.chans, quint32(channels));
        QCOMPARE(d.info.flags, 0u);
        const qint64 original = std::llround(1.7 * rate);
        if (exact)
            QCOMPARE(d.frames(), original);
        else
            QVERIFY(d.frames() >= original && d.frames() <= original + 2 * 1152);
        // The tone itself, at its level and pitch, on every channel.
        for (int c = 0; c < channels; ++c) {
            const Level l = measure(d, rate / 4, original - rate / 4, c);
            QVERIFY2(std::abs(l.rms - 0.5 * 32767 / std::sqrt(2.0)) < 1000,
                     qPrintable(QString::number(l.rms)));
            QVERIFY(std::abs(l.crossingsPerSecond - 880) < 10);
        }
        QCOMPARE(BASS_ChannelGetData(h, d.samples.empty() ? nullptr : (void*)d.samples.data(), 4),
                 0);
    }

    void moduleOpensAsMusicOnly() {
        const QString mod = path(QStringLiteral("tune.mod"));
        writeAll(mod, makeMod());
        QCOMPARE(openStream(mod), 0u);
        const EngineHandle h = openMusic(mod);
        QVERIFY(h);
        const Decoded d = decodeAll(h);
        QVERIFY(d.ended);
        QVERIFY(d.positionsAgree);
        QCOMPARE(d.info.freq, 44100u);
        QCOMPARE(d.info.chans, 2u);
        // Eight rows at the default speed: just under a second, played once.
        QVERIFY2(d.frames() > 44100 * 8 / 10 && d.frames() < 44100 * 12 / 10,
                 qPrintable(QString::number(d.frames())));
        QVERIFY(measure(d, 0, d.frames()).rms > 1000);

        const EngineHandle slow = openMusic(mod, 22050);
        ChannelInfo info;
        QVERIFY(BASS_ChannelGetInfo(slow, &info));
        QCOMPARE(info.freq, 22050u);
    }

    // Files from Debian packages (tests/corpus/SOURCES), with the lengths that libopenmpt's
    // own render and `mpg123 -w` give for them.
    void realFilesOpenThroughTheirOwnAttempt_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("music");
        QTest::addColumn<uint>("rate");
        QTest::addColumn<uint>("channels");
        QTest::addColumn<qint64>("frames");
        // Their sample data holds runs of MPEG-like frames.
        QTest::newRow("MOD, M.K. 1") << "front_1.mod" << true << 44100u << 2u << qint64(2257920);
        QTest::newRow("MOD, M.K. 2") << "CARGO.MOD" << true << 44100u << 2u << qint64(2709504);
        QTest::newRow("XM") << "walk.xm" << true << 44100u << 2u << qint64(1354752);
        QTest::newRow("S3M") << "ritam.s3m" << true << 44100u << 2u << qint64(5757696);
        QTest::newRow("MP3") << "beep.mp3" << false << 44100u << 2u << qint64(88200);
        QTest::newRow("MP3, ID3v2.3") << "sonar.mp3" << false << 44100u << 2u << qint64(33051);
        QTest::newRow("MP3, MPEG 2.5 mono")
            << "std_warning.mp3" << false << 11025u << 1u << qint64(8909);
    }

    void realFilesOpenThroughTheirOwnAttempt() {
        QFETCH(QString, file);
        QFETCH(bool, music);
        QFETCH(uint, rate);
        QFETCH(uint, channels);
        QFETCH(qint64, frames);
        const QString p = QStringLiteral(BLENDORA_SOURCE_DIR "/tests/corpus/files/") + file;
        const EngineHandle stream = openStream(p);
        QCOMPARE(stream != 0, !music);
        const Decoded d = decodeAll(music ? openMusic(p) : stream);
        QVERIFY(d.ended);
        QCOMPARE(d.info.freq, rate);
        QCOMPARE(d.info.chans, channels);
        QCOMPARE(d.frames(), frames);
    }

    void whatIsNotAudioFailsBothWaysQuickly_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("text") << QStringLiteral("notes.mp3");
        QTest::newRow("empty") << QStringLiteral("empty.wav");
        QTest::newRow("directory") << QStringLiteral("folder.mp3");
        QTest::newRow("fifo") << QStringLiteral("pipe.mp3");
        QTest::newRow("missing") << QStringLiteral("missing.mp3");
        QTest::newRow("huge ID3 tag, no frames") << QStringLiteral("tagonly.mp3");
        QTest::newRow("the lame program") << QStringLiteral(BLENDORA_LAME);
        QTest::newRow("a picture whose flat rows hold two frames each")
            << QStringLiteral("rows.bmp");
        QTest::newRow("a module whose song is empty") << QStringLiteral("empty.s3m");
        QTest::newRow("three frames of MP2 sound inside other data") << QStringLiteral("three.mp2");
        QTest::newRow("one free-format look-alike running to the end")
            << QStringLiteral("alone.mp3");
        QTest::newRow("rows that look like free-format frames") << QStringLiteral("rows.mp3");
        QTest::newRow("layer I look-alikes, the last running past the end")
            << QStringLiteral("tail.mp3");
        QTest::newRow("a frame, then free-format look-alikes at uneven gaps")
            << QStringLiteral("uneven.mp3");
        QTest::newRow("raw RGB of one flat colour, its bytes frames of silence")
            << QStringLiteral("flat.rgb");
        QTest::newRow("an MPEG program stream, its MP2 sound between video packets")
            << QStringLiteral("movie.mpg");
        QTest::newRow("a disc image holding a song, its signature at 32 KiB")
            << QStringLiteral("disc.iso");
        QTest::newRow("MPEG 2.5 layer II frames, which no encoder writes")
            << QStringLiteral("low.mp2");
        QTest::newRow("a photograph whose rows are as long as layer II frames")
            << QStringLiteral("photo.rgba");
        QTest::newRow("a dark raw picture that starts as an MPC 2000 sample does")
            << QStringLiteral("dark.bgr");
    }

    // The file the row `name` of whatIsNotAudioFailsBothWaysQuickly names, made at `p`.
    void makeNotAudio(const QString& name, const QString& p) {
        if (name == QLatin1String("notes.mp3"))
            writeAll(p, "Shopping list:\n- milk\n- bread\n");
        else if (name == QLatin1String("empty.wav"))
            writeAll(p, {});
        else if (name == QLatin1String("folder.mp3"))
            QVERIFY(QDir().mkpath(p));
        else if (name == QLatin1String("pipe.mp3"))
            QCOMPARE(::mkfifo(QFile::encodeName(p).constData(), 0600), 0);
        else if (name == QLatin1String("tagonly.mp3"))
            writeAll(p,
                     QByteArray("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10) + QByteArray(5000, '\xff'));
        else if (name == QLatin1String("rows.bmp")) {
            // Rows of 600 pixels: 512 of one colour, whose bytes read as MPEG 2.5 headers of
            // 768-byte frames (two to the flat part of a row), then noise.
            QImage picture(600, 64, QImage::Format_RGB32);
            QRandomGenerator random(7);
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x)
                    picture.setPixel(x, y, x < 512 ? qRgb(0x84, 0xe4, 0xff) : random.generate());
            QVERIFY(picture.save(p, "BMP"));
        } else if (name == QLatin1String("empty.s3m")) {
            QByteArray module =
                readAll(QStringLiteral(BLENDORA_SOURCE_DIR "/tests/corpus/files/ritam.s3m"));
            const int orders = qFromLittleEndian<quint16>(module.constData() + 0x20);
            module.replace(0x60, orders, QByteArray(orders, '\xff')); // every order "end of song"
            writeAll(p, module);
        } else if (name == QLatin1String("three.mp2")) {
            const QString wav = path(QStringLiteral("three.wav"));
            writeToneWav(wav, 48000, 2, 1.0, 440);
            QVERIFY(run(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", wav, "-c:a", "mp2",
                                                   "-b:a", "192k", "-f", "mp2", p}));
            // 576-byte frames that lean on no other.
            writeAll(p, QByteArray(4096, 'x') + readAll(p).mid(576 * 10, 576 * 3) +
                            QByteArray(4096, 'x'));
        } else if (name == QLatin1String("alone.mp3")) {
            // An icon's edge: a free-format header, another too close to end its frame.
            const QByteArray header("\xff\xff\x00\x01", 4);
            writeAll(p, QByteArray(136, '\0') + header + QByteArray(12, '\0') + header +
                            QByteArray(2000, '\0'));
        } else if (name == QLatin1String("tail.mp3")) {
            // Time-zone data: 32-byte layer I frames made of FF FF runs, the second cut short.
            const QByteArray frame = QByteArray("\xff\xff\x10\x00", 4) + QByteArray(28, 'j');
            writeAll(p, frame + frame.left(14));
        } else if (name == QLatin1String("uneven.mp3")) {
            QByteArray data = QByteArray("\xff\xff\x10\x00", 4) + QByteArray(28, 'j');
            for (int gap = 40; gap < 100; gap += 4)
                data += QByteArray("\xff\xff\x00\x00", 4) + QByteArray(gap - 4, char(gap));
            writeAll(p, data);
        } else if (name == QLatin1String("flat.rgb")) {
            // FF FB 90: MPEG 1 layer III headers, 417-byte frames that three divides.
            QByteArray pixels;
            for (int i = 0; i < 400 * 400; ++i)
                pixels += QByteArray("\xff\xfb\x90", 3);
            writeAll(p, pixels);
        } else if (name == QLatin1String("movie.mpg")) {
            QVERIFY(run(QStringLiteral("ffmpeg"),
                        {"-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=d=3:s=160x120", "-f",
                         "lavfi", "-i", "sine=d=3", "-c:a", "mp2", "-b:a", "64k", "-f", "vob", p}));
        } else if (name == QLatin1String("disc.iso")) {
            const QString song =
                makeToneMp3(dir.path(), QStringLiteral("on-disc"), 44100, 2, 2, 440);
            QByteArray volume = QByteArray("\x01"
                                           "CD001\x01",
                                           7);
            volume.resize(2048, '\0');
            writeAll(p, QByteArray(32768, '\0') + volume + readAll(song));
        } else if (name == QLatin1String("low.mp2")) {
            // 12 kHz, 160 kb/s, mono: frames of 1920 bytes, a row of 480 RGBA pixels.
            const QByteArray payload = readAll(QStringLiteral(BLENDORA_LAME)).mid(8192, 1916);
            writeAll(p, (QByteArray("\xff\xe5\xe4\xc4", 4) + payload).repeated(8));
        } else if (name == QLatin1String("photo.rgba")) {
            // A smooth, grainy picture 144 pixels wide with one pixel a row whose bytes are an
            // MPEG 1 layer II header of 576-byte frames: each row is a frame.
            QRandomGenerator random(26);
            QByteArray pixels;
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 144; ++x) {
                    const char grain[4] = {char(60 + x + random.bounded(4)),
                                           char(120 + y + random.bounded(4)),
                                           char(90 + (x + y) / 2), '\xff'};
                    pixels += x == 90 ? QByteArray("\xff\xfd\xa4\xff", 4) : QByteArray(grain, 4);
                }
            writeAll(p, pixels);
        } else if (name == QLatin1String("dark.bgr")) {
            writeAll(p, QByteArray("\x01\x04\x03", 3) + QByteArray(300000, '\x05'));
        } else if (name == QLatin1String("rows.mp3")) {
            // Like the pixel rows of a cursor file: an opaque edge, then varying pixels.
            QByteArray rows(100, 'h');
            for (int row = 0; row < 64; ++row)
                rows += QByteArray("\xff\xff\x00\x00", 4) + QByteArray(124, char(row));
            writeAll(p, rows);
        }
    }

    void whatIsNotAudioFailsBothWaysQuickly() {
        QFETCH(QString, name);
        const QString p = name.startsWith('/') ? name : path(name);
        makeNotAudio(name, p);
        if (QTest::currentTestFailed())
            return;
        const double reference = songCpu();
        const double before = test::cpuSeconds();
        QCOMPARE(openStream(p), 0u);
        QCOMPARE(openMusic(p), 0u);
        const double spent = test::cpuSeconds() - before;
        QVERIFY2(spent < reference, qPrintable(QStringLiteral("%1 s to refuse, %2 s to decode a "
                                                              "hundred seconds of a song")
                                                   .arg(spent)
                                                   .arg(reference)));
    }

    // Small binary tables and pictures full of FF bytes (time zones, terminfo, icons and cursors),
    // nobody's audio: the quick form of the corpus's non-audio check, so that a looser rule for
    // MPEG fails here and not only there.
    void theMachinesOwnDataIsRefused() {
        QStringList taken;
        int files = 0;
        for (const char* folder :
             {"/usr/share/zoneinfo", "/usr/share/terminfo", "/lib/terminfo", "/usr/share/icons"})
            for (QDirIterator it(folder, QDir::Files | QDir::NoSymLinks,
                                 QDirIterator::Subdirectories);
                 it.hasNext();) {
                const QString file = it.next();
                ++files;
                for (const EngineHandle h : {openStream(file), openMusic(file)})
                    if (h != 0) {
                        taken << file;
                        BASS_ChannelFree(h);
                    }
            }
        QVERIFY2(files >= 500, qPrintable(QStringLiteral("only %1 data files").arg(files)));
        QVERIFY2(taken.isEmpty(), qPrintable(taken.join(", ")));
    }

    // Silence says nothing of where it came from, so the probe listens to a silent run only so
    // far: 43 minutes of it cost less to judge than a hundred seconds of a song to decode.
    void listeningToSilenceIsBounded() {
        const QString wav = path(QStringLiteral("silence.wav"));
        writeToneWav(wav, 44100, 2, 2.0, 440, 0.0);
        const QString mp3 = path(QStringLiteral("silence.mp3"));
        QVERIFY(run(QStringLiteral(BLENDORA_LAME), {"--quiet", "-b", "32", wav, mp3}));
        writeAll(mp3, readAll(mp3).repeated(1300));
        const double reference = songCpu();
        const double before = test::cpuSeconds();
        const EngineHandle h = openStream(mp3);
        const double spent = test::cpuSeconds() - before;
        QVERIFY(h != 0);
        BASS_ChannelFree(h);
        QVERIFY2(spent < reference, qPrintable(QStringLiteral("%1 s to judge, %2 s to decode a "
                                                              "hundred seconds of a song")
                                                   .arg(spent)
                                                   .arg(reference)));
    }

    void compressedAndPcmAreNotMistakenForEachOther() {
        const QString mp3 = makeToneMp3(dir.path(), QStringLiteral("m"), 44100, 2, 0.5, 440);
        const QString wav = path(QStringLiteral("w.wav"));
        writeToneWav(wav, 44100, 2, 0.5, 440);
        QCOMPARE(openMusic(mp3), 0u);
        QCOMPARE(openMusic(wav), 0u);
    }

    void formatIsToldByContentNotName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("soxType");
        QTest::newRow("WAV named .mp3") << QStringLiteral("wave.mp3") << QString();
        QTest::newRow("AIFF named .mod") << QStringLiteral("aiff.mod") << QStringLiteral("aiff");
        QTest::newRow("FLAC without extension") << QStringLiteral("flac") << QStringLiteral("flac");
    }

    void formatIsToldByContentNotName() {
        QFETCH(QString, name);
        QFETCH(QString, soxType);
        const QString wav = path(QStringLiteral("source.wav"));
        // Loud enough that the PCM is full of byte pairs that look like MPEG frame syncs.
        writeToneWav(wav, 22050, 2, 1.0, 1000, 0.99);
        const QString p = path(name);
        if (soxType.isEmpty())
            QVERIFY(QFile::copy(wav, p));
        else
            QVERIFY(run(QStringLiteral("sox"), {wav, QStringLiteral("-t"), soxType, p}));
        const EngineHandle h = openStream(p);
        QVERIFY(h);
        const Decoded d = decodeAll(h);
        QCOMPARE(d.info.freq, 22050u);
        QCOMPARE(d.info.chans, 2u);
        QVERIFY(d.samples == wavSamples(wav));
        QCOMPARE(openMusic(p), 0u);
    }

    void pcmHoldingMpegFramesStaysPcm() {
        const QString mp3 = makeToneMp3(dir.path(), QStringLiteral("inner"), 44100, 2, 0.5, 440);
        QByteArray frames = readAll(mp3);
        frames.truncate(frames.size() / 4 * 4);
        const QString wav = path(QStringLiteral("frames.mp3"));
        writeAll(wav, waveBytes(frames));
        const Decoded d = decodeAll(openStream(wav));
        QCOMPARE(d.frames(), qint64(frames.size() / 4));
        QCOMPARE(qFromLittleEndian<qint16>(frames.constData() + 2), d.samples[1]);

        // A WAV that libsndfile refuses must not fall through to the MPEG decoder either.
        QByteArray damaged = waveBytes(frames);
        damaged.replace(20, 2, "\x55\x55");
        writeAll(wav, damaged);
        QCOMPARE(openStream(wav), 0u);
    }

    void widerSamplesBecome16BitAndClip() {
        const QString f = path(QStringLiteral("float.wav"));
        const std::vector<float> floats = {0.0f, 0.25f, -0.25f, 1.5f, -1.5f, 1.0f, 7.0f};
        writeSndfile(f, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 8000, &floats, nullptr);
        Decoded d = decodeAll(openStream(f));
        QCOMPARE(d.samples.size(), floats.size());
        QCOMPARE(d.samples[0], qint16(0));
        QVERIFY(std::abs(d.samples[1] - 8192) <= 1);
        QVERIFY(std::abs(d.samples[2] + 8192) <= 1);
        QCOMPARE(d.samples[3], qint16(32767));
        QVERIFY(d.samples[4] <= -32767);
        QVERIFY(d.samples[5] >= 32766);
        QCOMPARE(d.samples[6], qint16(32767));

        const QString w = path(QStringLiteral("24.wav"));
        const std::vector<int> ints = {0x12345600, -0x12345600, 0x7FFFFF00, int(0x80000000)};
        writeSndfile(w, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 8000, nullptr, &ints);
        d = decodeAll(openStream(w));
        QCOMPARE(d.info.freq, 8000u);
        QCOMPARE(d.samples, (std::vector<qint16>{0x1234, -0x1235, 0x7FFF, -0x8000}));
    }

    void lossyOggKeepsItsLevelAndClips_data() {
        QTest::addColumn<int>("format");
        QTest::newRow("Vorbis") << (SF_FORMAT_OGG | SF_FORMAT_VORBIS);
        QTest::newRow("Opus") << (SF_FORMAT_OGG | SF_FORMAT_OPUS);
    }

    void lossyOggKeepsItsLevelAndClips() {
        QFETCH(int, format);
        const QString p = path(QStringLiteral("tone.ogg"));
        auto tone = [&](double amplitude) {
            std::vector<float> samples(48000);
            for (size_t i = 0; i < samples.size(); ++i)
                samples[i] = float(amplitude * std::sin(2 * M_PI * 440 * double(i) / 48000));
            writeSndfile(p, format, 48000, &samples, nullptr);
            return decodeAll(openStream(p));
        };
        Decoded d = tone(0.5);
        QCOMPARE(d.info.freq, 48000u);
        QCOMPARE(d.info.chans, 1u);
        QVERIFY(std::abs(d.frames() - 48000) < 1000);
        const Level l = measure(d, 4800, 43200);
        QVERIFY2(std::abs(l.rms - 0.5 * 32768 / std::sqrt(2.0)) < 1000,
                 qPrintable(QString::number(l.rms)));
        QVERIFY(std::abs(l.crossingsPerSecond - 880) < 10);

        // Peaks beyond full scale flatten; wrapped around they would jump across the range.
        d = tone(1.2);
        int largestStep = 0;
        for (size_t i = 1; i < d.samples.size(); ++i)
            largestStep = std::max(largestStep, std::abs(d.samples[i] - d.samples[i - 1]));
        QVERIFY2(largestStep < 30000, qPrintable(QString::number(largestStep)));
        QCOMPARE(*std::max_element(d.samples.begin(), d.samples.end()), qint16(32767));
    }

    void wrappedMpegDecodesLikeTheBareStream_data() {
        QTest::addColumn<QString>("wrap");
        QTest::addColumn<bool>("layer2");
        QTest::newRow("ID3v2 header claiming 256 MB") << QStringLiteral("tag") << false;
        QTest::newRow("10 KB of junk before the first frame") << QStringLiteral("junk") << false;
        QTest::newRow("a tag whose size leaves out its cover picture")
            << QStringLiteral("cover") << false;
        QTest::newRow("MP3 in RIFF WAVE") << QStringLiteral("riff") << false;
        QTest::newRow("MP2 in RIFF WAVE") << QStringLiteral("riff") << true;
        QTest::newRow("other data before, three times the stream after")
            << QStringLiteral("after") << false;
        QTest::newRow("MP2, then junk with two frames of its kind that decode to noise")
            << QStringLiteral("after") << true;
        // 48 kHz, 128 kb/s, stereo: 384-byte frames, 96 pixels of one colour.
        QTest::newRow("zeros, a flat picture whose bytes are frames of its kind cut short, the "
                      "stream")
            << QStringLiteral("flat before") << false;
        QTest::newRow("the stream, then a flat picture whose bytes are frames of its kind")
            << QStringLiteral("flat after") << false;
        // A CMYK colour whose bytes libopenmpt's header probe takes for a 15-sample module.
        QTest::newRow("zeros, a flat picture that looks like a module's header, the stream")
            << QStringLiteral("module before") << false;
    }

    void wrappedMpegDecodesLikeTheBareStream() {
        QFETCH(QString, wrap);
        QFETCH(bool, layer2);
        QString bare = path(QStringLiteral("bare.mp2"));
        if (layer2) {
            const QString wav = path(QStringLiteral("bare.wav"));
            writeToneWav(wav, 48000, 2, 2.0, 440);
            QVERIFY(run(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", wav, "-c:a", "mp2",
                                                   "-b:a", "192k", "-f", "mp2", bare}));
        } else {
            const int rate = wrap.startsWith(QLatin1String("flat")) ? 48000 : 44100;
            bare = makeToneMp3(dir.path(), QStringLiteral("bare"), rate, 2, 2.0, 440);
        }
        const QByteArray stream = readAll(bare);
        QByteArray wrapped;
        if (wrap == QLatin1String("tag")) {
            wrapped = QByteArray("ID3\x03\x00\x00\x7f\x7f\x7f\x7f", 10) + stream;
        } else if (wrap == QLatin1String("cover")) {
            QImage cover(64, 64, QImage::Format_RGB32);
            cover.fill(Qt::darkCyan);
            QBuffer jpeg;
            QVERIFY(jpeg.open(QIODevice::WriteOnly) && cover.save(&jpeg, "JPG"));
            QByteArray apic = QByteArray("APIC\0\0\0\0\0\0\0image/jpeg\0\3\0", 24) + jpeg.data();
            qToBigEndian<quint32>(quint32(apic.size() - 10), apic.data() + 4);
            // Counted up to the picture, where libmagic reads on and finds a JPEG.
            wrapped = QByteArray("ID3\x03\x00\x00\x00\x00\x00\x18", 10) + apic + stream;
        } else if (wrap == QLatin1String("flat before")) {
            const QByteArray flat = QByteArray("\xff\xfb\x94\x64", 4).repeated(96 * 20 + 25);
            wrapped = QByteArray(7, '\0') + flat + stream;
        } else if (wrap == QLatin1String("module before")) {
            wrapped = QByteArray(4, '\0') + QByteArray("\0\x31\0\0", 4).repeated(500) + stream;
        } else if (wrap == QLatin1String("flat after")) {
            wrapped = stream + QByteArray("\xff\xfb\x94\x64", 4).repeated(96 * 20);
        } else if (wrap == QLatin1String("junk")) {
            QRandomGenerator random(21);
            wrapped.resize(10000);
            for (char& c : wrapped)
                c = char(random.bounded(256));
            wrapped += stream;
        } else if (wrap == QLatin1String("after")) {
            QRandomGenerator random(28);
            QByteArray junk(3 * stream.size(), '\0');
            for (char& c : junk)
                c = char(random.bounded(256));
            if (layer2) {
                // 192 kb/s at 48 kHz: frames of 576 bytes, whose headers chance may line up.
                junk.replace(1000, 4, stream.left(4));
                junk.replace(1576, 4, stream.left(4));
            }
            wrapped = QByteArray(8192, 'x') + stream + junk;
        } else {
            wrapped = waveBytes(stream, {.tag = quint16(layer2 ? 0x50 : 0x55)});
        }
        const QString p = path(QStringLiteral("wrapped"));
        writeAll(p, wrapped);
        const Decoded want = decodeAll(openStream(bare));
        const Decoded got = decodeAll(openStream(p));
        QVERIFY(got.ended);
        QVERIFY(want.frames() > 0);
        QCOMPARE(got.info.freq, want.info.freq);
        QCOMPARE(got.info.chans, want.info.chans);
        QVERIFY(got.samples == want.samples);
    }

    // What encoders make of loud songs, and what damage leaves of them, is read to the end:
    // loudness says nothing of where frames came from, and a damaged frame costs that frame.
    void loudAndDamagedSongsPlay_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("12 dB louder, clipped, through libshine") << QStringLiteral("loud");
        QTest::newRow("a hole of 16 KB and random bytes in a frame") << QStringLiteral("damaged");
    }

    void loudAndDamagedSongsPlay() {
        QFETCH(QString, kind);
        const QString wav = path(QStringLiteral("song.wav"));
        const QString mp3 = path(QStringLiteral("song.mp3"));
        QVERIFY(run(QStringLiteral("sox"),
                    {"-R", "-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "5", "sine",
                     "440", "pinknoise", "gain", kind == QLatin1String("loud") ? "12" : "-3"}));
        const QString reference = path(QStringLiteral("reference.wav"));
        if (kind == QLatin1String("loud")) {
            QVERIFY(run(QStringLiteral("ffmpeg"),
                        {"-v", "error", "-y", "-i", wav, "-c:a", "libshine", "-b:a", "128k", mp3}));
            QVERIFY(run(QStringLiteral("mpg123"), {"-q", "-w", reference, mp3}));
        } else {
            QVERIFY(run(QStringLiteral(BLENDORA_LAME), {"--quiet", "-b", "128", wav, mp3}));
            // 16 KB of zeros a quarter in, as a bad sector or a lost stretch of a download
            // leaves, then a frame's payload random.
            QByteArray bytes = readAll(mp3);
            bytes.replace(bytes.size() / 4, 16384, QByteArray(16384, '\0'));
            QRandomGenerator random(34);
            for (qsizetype i = bytes.size() * 3 / 4; i < bytes.size() * 3 / 4 + 300; ++i)
                bytes[i] = char(random.bounded(256));
            writeAll(mp3, bytes);
            QVERIFY(run(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", mp3, reference}));
        }
        const Decoded d = decodeAll(openStream(mp3));
        QVERIFY(d.ended);
        SF_INFO info{};
        SNDFILE* f = sf_open(QFile::encodeName(reference).constData(), SFM_READ, &info);
        QVERIFY(f);
        sf_close(f);
        // mpg123 reads every loud frame; ffmpeg plays through the damage: at most half a second
        // less, and no more than the song.
        if (kind == QLatin1String("loud"))
            QCOMPARE(d.frames(), qint64(info.frames));
        else
            QVERIFY2(d.frames() + 22050 >= info.frames && d.frames() <= 5 * 44100,
                     qPrintable(QString::number(d.frames())));
    }

    void cutOffMp3DecodesWhatIsThere_data() {
        QTest::addColumn<double>("kept");
        QTest::addColumn<bool>("opens"); // else too little is left to be told apart
        QTest::addColumn<bool>("freeFormat");
        QTest::newRow("half") << 0.5 << true << false;
        QTest::newRow("all but one byte") << 0.9999 << true << false;
        QTest::newRow("first frames") << 0.02 << false << false;
        QTest::newRow("free format, inside its last frame") << 0.9995 << true << true;
    }

    void cutOffMp3DecodesWhatIsThere() {
        QFETCH(double, kept);
        QFETCH(bool, opens);
        QFETCH(bool, freeFormat);
        QString mp3 = path(QStringLiteral("cut.mp3"));
        if (freeFormat) {
            const QString wav = path(QStringLiteral("cut.wav"));
            writeToneWav(wav, 44100, 2, 2.0, 440);
            QVERIFY(run(QStringLiteral(BLENDORA_LAME),
                        {"--quiet", "--freeformat", "-b", "320", wav, mp3}));
        } else {
            mp3 = makeToneMp3(dir.path(), QStringLiteral("cut"), 44100, 2, 2.0, 440);
        }
        const QByteArray whole = readAll(mp3);
        writeAll(mp3, whole.left(qsizetype(whole.size() * kept)));
        const EngineHandle h = openStream(mp3);
        if (!h) {
            QVERIFY2(!opens, "refused");
            return; // crashing is what must not happen
        }
        const Decoded d = decodeAll(h);
        QVERIFY(d.ended);
        QVERIFY(d.frames() <= 88200);
        QVERIFY(d.frames() >= qint64(88200 * kept) - 3 * 1152);
        QCOMPARE(BASS_ChannelIsActive(h), 0u);
    }

    // A file cut while it is read (a sync client, a restarted download) ends in an error, not
    // in an early end that would pass for the whole file.
    void fileShrinkingWhileReadIsAnError() {
        const QString mp3 = makeToneMp3(dir.path(), QStringLiteral("shrinks"), 44100, 2, 4.0, 440);
        const EngineHandle h = openStream(mp3);
        QVERIFY(h);
        QByteArray buffer(20000, '\0');
        QVERIFY(BASS_ChannelGetData(h, buffer.data(), 20000) > 0);
        QVERIFY(::truncate(QFile::encodeName(mp3).constData(), 0) == 0);
        int last = 0;
        for (int calls = 0; calls < 1000 && BASS_ChannelIsActive(h) && last >= 0; ++calls)
            last = BASS_ChannelGetData(h, buffer.data(), 20000);
        QCOMPARE(last, -1);
        QCOMPARE(BASS_ChannelIsActive(h), 0u);
    }

    // The same promise before the first sample: each way the stream attempt probes a file reads
    // it within the length it had at open, and a file cut in between is an error, not a crash.
    void fileShrinkingBeforeTheProbeIsAnError_data() {
        QTest::addColumn<QString>("way");
        QTest::newRow("walk, past leading zeros") << QStringLiteral("walk");
        QTest::newRow("RIFF chunks") << QStringLiteral("riff");
        QTest::newRow("module check") << QStringLiteral("module");
    }

    void fileShrinkingBeforeTheProbeIsAnError() {
        QFETCH(QString, way);
        const QString mp3 = makeToneMp3(dir.path(), QStringLiteral("probed"), 44100, 2, 1.0, 440);
        const QString p = path(QStringLiteral("probed"));
        if (way == QLatin1String("walk"))
            writeAll(p, QByteArray(8192, '\0') + readAll(mp3));
        else if (way == QLatin1String("riff"))
            writeAll(p, waveBytes(readAll(mp3), {.tag = 0x55}));
        else
            writeAll(p, makeMod());
        const auto source = audio::FileSource::open(QFile::encodeName(p).toStdString(), 0, 0);
        QVERIFY(source);
        // What a sync client leaves of it: the RIFF and WAVE marks, or twelve zeros.
        QCOMPARE(::truncate(QFile::encodeName(p).constData(), 12), 0);
        if (way == QLatin1String("walk"))
            QVERIFY(!audio::MpegChannel::open(*source));
        else if (way == QLatin1String("riff"))
            QVERIFY(!audio::mpegInsideRiff(*source));
        else
            QVERIFY(!audio::isTrackerModule(*source) &&
                    !audio::ModuleChannel::open(*source, 44100));
        QVERIFY(source->cut());
    }

    void unicodeNamesOpen() {
        const QString folder = path(QStringLiteral("Mix für Émilie ♫ 名前"));
        QVERIFY(QDir().mkpath(folder));
        const QString mp3 =
            makeToneMp3(folder, QStringLiteral("Track 01 – naïve 🎵"), 44100, 1, 0.3, 440);
        QVERIFY(!mp3.isEmpty());
        const EngineHandle wide =
            BASS_StreamCreateFile(0, mp3.utf16(), 0, 0, kStreamDecode | kUnicodeName);
        QVERIFY(wide);
        QCOMPARE(decodeAll(wide).frames(), qint64(13230));
        QVERIFY(openStream(mp3));
        const char16_t unpaired[] = {u'a', char16_t(0xD800), u'b', 0};
        QCOMPARE(BASS_StreamCreateFile(0, unpaired, 0, 0, kUnicodeName), 0u);
    }

    void onlyLiveChannelsAnswer() {
        const QString mp3 = makeToneMp3(dir.path(), QStringLiteral("h"), 44100, 2, 0.3, 440);
        char buffer[64];
        QCOMPARE(BASS_ChannelGetData(0, buffer, sizeof buffer), -1);
        QCOMPARE(BASS_ChannelIsActive(0), 0u);
        const EngineHandle first = openStream(mp3);
        const EngineHandle second = openStream(mp3);
        QVERIFY(first && second && first != second);
        QCOMPARE(BASS_ChannelGetData(first, buffer, 3), 0); // less than a frame
        QVERIFY(BASS_ChannelIsActive(first));
        QCOMPARE(BASS_ChannelGetData(first, nullptr, 64), -1);
        QCOMPARE(BASS_ChannelIsActive(first), 0u); // an error ends the decode loop
        QCOMPARE(BASS_ChannelGetData(first, buffer, 6), 0);
        QCOMPARE(BASS_StreamCreateFile(1, mp3.toUtf8().constData(), 0, 0, 0), 0u);

        QVERIFY(BASS_Free());
        ChannelInfo info;
        QCOMPARE(BASS_ChannelGetInfo(second, &info), 0);
        QCOMPARE(BASS_ChannelIsActive(second), 0u);
        QCOMPARE(BASS_ChannelGetData(second, buffer, sizeof buffer), -1);
        QCOMPARE(BASS_ChannelGetPosition(second, 0), ~quint64(0));
        QCOMPARE(BASS_ChannelSetPosition(second, 0, 0), 0);
        QCOMPARE(openStream(mp3), 0u); // not started
        QVERIFY(BASS_Init(0, 44100, 0, nullptr, nullptr));
        const EngineHandle again = openStream(mp3);
        QVERIFY(again && again != first && again != second);
    }

    void positionsRewindAndSeek_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("mp3") << QStringLiteral("mp3");
        QTest::newRow("wav") << QStringLiteral("wav");
        QTest::newRow("module") << QStringLiteral("mod");
    }

    void positionsRewindAndSeek() {
        QFETCH(QString, kind);
        QString p = path(QStringLiteral("seek.") + kind);
        if (kind == QLatin1String("mp3"))
            p = makeToneMp3(dir.path(), QStringLiteral("seek"), 44100, 2, 1.0, 440);
        else if (kind == QLatin1String("wav"))
            writeToneWav(p, 44100, 2, 1.0, 440);
        else
            writeAll(p, makeMod());
        const EngineHandle h = kind == QLatin1String("mod") ? openMusic(p) : openStream(p);
        QVERIFY(h);
        const Decoded first = decodeAll(h);
        const quint64 total = quint64(first.samples.size()) * 2;
        QVERIFY(BASS_ChannelSetPosition(h, 0, 0));
        QVERIFY(BASS_ChannelIsActive(h));
        QVERIFY(decodeAll(h).samples == first.samples);

        const quint64 middle = total / 2 / 4 * 4;
        QVERIFY(BASS_ChannelSetPosition(h, middle, 0));
        QCOMPARE(BASS_ChannelGetPosition(h, 0), middle);
        const Decoded rest = decodeAll(h);
        QVERIFY(rest.positionsAgree == false); // positions count from the seek, not from 0
        QVERIFY(std::equal(rest.samples.begin(), rest.samples.end(),
                           first.samples.begin() + qsizetype(middle / 2)));
        QCOMPARE(quint64(rest.samples.size()) * 2, total - middle);

        QVERIFY(BASS_ChannelSetPosition(h, 400, 0));
        QVERIFY(!BASS_ChannelSetPosition(h, 402, 0)); // half a frame
        QVERIFY(!BASS_ChannelSetPosition(h, total + 4, 0));
        QCOMPARE(BASS_ChannelGetPosition(h, 0), 400u);
        QVERIFY(BASS_ChannelSetPosition(h, total, 0));
        QCOMPARE(BASS_ChannelIsActive(h), 0u);
    }

    void rateOrChannelChangeKeepsTheFirstFormat_data() {
        QTest::addColumn<int>("firstRate");
        QTest::addColumn<int>("firstChannels");
        QTest::addColumn<int>("secondRate");
        QTest::addColumn<int>("secondChannels");
        QTest::newRow("44100 stereo, then 22050 mono") << 44100 << 2 << 22050 << 1;
        QTest::newRow("22050 mono, then 44100 stereo") << 22050 << 1 << 44100 << 2;
        QTest::newRow("48000 mono, then 32000 mono") << 48000 << 1 << 32000 << 1;
    }

    void rateOrChannelChangeKeepsTheFirstFormat() {
        QFETCH(int, firstRate);
        QFETCH(int, firstChannels);
        QFETCH(int, secondRate);
        QFETCH(int, secondChannels);
        const QString a =
            makeToneMp3(dir.path(), QStringLiteral("a"), firstRate, firstChannels, 1.0, 440);
        const QString b =
            makeToneMp3(dir.path(), QStringLiteral("b"), secondRate, secondChannels, 1.0, 660);
        const QString both = path(QStringLiteral("both.mp3"));
        writeAll(both, readAll(a) + readAll(b));
        const Decoded d = decodeAll(openStream(both));
        QVERIFY(d.ended);
        QCOMPARE(d.info.freq, quint32(firstRate));
        QCOMPARE(d.info.chans, quint32(firstChannels));
        QCOMPARE(d.samples.size() % size_t(firstChannels), 0u);
        // Two seconds at the first rate, give or take encoder delay and padding: libmpg123
        // trims them only for the first part, and only when it has an Info frame.
        const int slack = 2 * 1152 + 3 * 1152 * firstRate / secondRate;
        QVERIFY2(d.frames() >= 2 * firstRate - 1152 && d.frames() <= 2 * firstRate + slack,
                 qPrintable(QString::number(d.frames())));
        // The second tone keeps its pitch and level once converted, on every channel.
        for (int c = 0; c < firstChannels; ++c) {
            const Level l =
                measure(d, d.frames() - firstRate * 3 / 4, d.frames() - firstRate / 4, c);
            QVERIFY2(std::abs(l.crossingsPerSecond - 1320) < 15,
                     qPrintable(QString::number(l.crossingsPerSecond)));
            QVERIFY2(std::abs(l.rms - 0.5 * 32767 / std::sqrt(2.0)) < 1500,
                     qPrintable(QString::number(l.rms)));
        }
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "test_engine.moc"
