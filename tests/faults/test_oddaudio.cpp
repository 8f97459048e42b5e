// Odd audio in the first field: empty, cut, mislabelled, unusual formats.
#include "Harness.h"

using namespace blendora;
using namespace blendora::faults;

class TestOddAudio : public Suite {
    Q_OBJECT

  private slots:
    // The first field holds an odd file; the second 0.5 s of silence, so the made file is the
    // first one's sound at half level, as long as the first.
    void oddAudio_data() {
        QTest::addColumn<Row>("row");
        const Maker silence = [](Place& p) { return p.copy("silence.mp3", p.files.shortSilence); };
        const Sound tone{2.0, 0.25, 440};  // the 440 Hz tone at half scale, mixed at half
        const Sound strong{2.0, 0.4, 440}; // a 0.8 sine mixed at half
        auto cut = [](Place& p, const QString& name, const QString& from) {
            const QByteArray bytes = test::readAll(from);
            return p.put(name, bytes.left(bytes.size() / 2));
        };
        auto png = [](Place& p, const QString& name) {
            QImage image(64, 64, QImage::Format_RGB32);
            image.fill(Qt::darkCyan);
            const QString path = p.in + "/" + name;
            image.save(path, "PNG");
            return path;
        };

        QTest::newRow("first file empty")
            << Row{.one = [](Place& p) { return p.put("empty.mp3", {}); },
                   .two = silence,
                   .expect = kNoFile,
                   .reason = "first"};
        QTest::newRow("second file empty")
            << Row{.two = [](Place& p) { return p.put("empty.mp3", {}); },
                   .expect = kNoFile,
                   .reason = "second"};
        QTest::newRow("MP3 cut in half")
            << Row{.one = [cut](Place& p) { return cut(p, "cut.mp3", p.files.toneA); },
                   .two = silence,
                   .sound = {1.0, 0.25, 440}};
        QTest::newRow("FLAC cut in half")
            << Row{.one =
                       [cut](Place& p) {
                           const QString wav = p.wav("whole.wav", 44100, 2, 2.0, 0.8, Pcm::S16);
                           const QString flac = p.in + "/whole.flac";
                           if (!test::run("sox", {wav, flac}))
                               p.skip = "sox cannot make FLAC here";
                           return cut(p, "cut.flac", flac);
                       },
                   .two = silence,
                   .sound = {1.0, 0.4, 440}};
        QTest::newRow("random bytes named .mp3") << Row{.one =
                                                            [](Place& p) {
                                                                QRandomGenerator random(20240607);
                                                                QByteArray bytes(64 * 1024, '\0');
                                                                for (char& b : bytes)
                                                                    b = char(random.bounded(256));
                                                                return p.put("noise.mp3", bytes);
                                                            },
                                                        .two = silence,
                                                        .expect = kNoFile,
                                                        .reason = "first"};
        QTest::newRow("WAV named .mp3")
            << Row{.one = [](Place& p) { return p.wav("wave.mp3", 44100, 2, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("PNG named .mp3") << Row{.one = [png](Place& p) { return png(p, "pic.mp3"); },
                                               .two = silence,
                                               .expect = kNoFile,
                                               .reason = "first"};
        // The type check off is said once, in words, and libmagic's own words stay off stderr.
        const Maker pngThenMp3 = [png](Place& p) {
            const QString picture = png(p, "cover.png");
            return p.put("cover.mp3", test::readAll(picture) + test::readAll(p.files.toneA));
        };
        QTest::newRow("PNG with an MP3 after it, libmagic's database past a memory limit")
            << Row{.one = pngThenMp3,
                   .two = pngThenMp3,
                   .setup =
                       [](Place& p) {
                           p.env.insert("MEMORY_LEFT_MB", "4");
#ifdef __SANITIZE_ADDRESS__
                           p.skip = "AddressSanitizer's shadow memory cannot live under a memory "
                                    "limit";
#endif
                       },
                   .check =
                       [](Place& p, const QString& last) {
                           QStringList wrong = soundProblems(p.out + "/mixed.mp3", {2.0, 0, 0});
                           if (last != kDone || !p.errors.isEmpty() ||
                               p.said.filter("kind of file an input is: libmagic's").size() != 1)
                               wrong << "not told once, in words only: " + p.said.join(" | ") +
                                            QString::fromLocal8Bit(p.errors.left(300));
                           return wrong;
                       }};
        QTest::newRow("WAV named .ogg")
            << Row{.one = [](Place& p) { return p.wav("wave.ogg", 44100, 2, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("PNG named .ogg") << Row{.one = [png](Place& p) { return png(p, "pic.ogg"); },
                                               .two = silence,
                                               .expect = kNoFile,
                                               .reason = "first"};
        QTest::newRow("ID3 tag claiming 256 MB before real frames")
            << Row{.one =
                       [](Place& p) {
                           const QByteArray tag("ID3\x03\x00\x00\x7f\x7f\x7f\x7f", 10);
                           return p.put("tagged.mp3", tag + test::readAll(p.files.toneA));
                       },
                   .two = silence,
                   .sound = tone};
        QTest::newRow("8-bit WAV")
            << Row{.one = [](Place& p) { return p.wav("eight.wav", 44100, 2, 2.0, 0.8, Pcm::U8); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("24-bit WAV")
            << Row{.one = [](Place& p) { return p.wav("24.wav", 44100, 2, 2.0, 0.8, Pcm::S24); },
                   .two = silence,
                   .sound = strong};
        // Beyond full scale: clipped to a flat-topped tone at half level, never wrapped.
        QTest::newRow("32-bit float WAV at 1.5 times full scale")
            << Row{.one = [](Place& p) { return p.wav("float.wav", 44100, 2, 2.0, 1.5, Pcm::F32); },
                   .two = silence,
                   .sound = {2.0, 0.5, 440}};
        QTest::newRow("6-channel WAV")
            << Row{.one = [](Place& p) { return p.wav("six.wav", 44100, 6, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("8 kHz WAV")
            << Row{.one = [](Place& p) { return p.wav("8k.wav", 8000, 1, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
        QTest::newRow("192 kHz WAV")
            << Row{.one = [](Place& p) { return p.wav("192k.wav", 192000, 2, 2.0, 0.8, Pcm::S16); },
                   .two = silence,
                   .sound = strong};
    }
    void oddAudio() {
        run();
    }
};

BLENDORA_FAULTS_MAIN(TestOddAudio)

#include "test_oddaudio.moc"
