// Judges the engine and DecodeMp3ToWav on files nobody here made, each against a reference
// computed in the same run: libopenmpt's own length for modules, `mpg123 -w` for MP3,
// libsndfile's frame count for Ogg, FLAC and WAV; and files of the machine that are not audio
// must be refused by both attempts.
//
// Usage: corpus_check <corpus folder with modules/ mp3/ other/ nonaudio/>
#include "Decode.h"
#include "Engine.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <libopenmpt/libopenmpt.h>
#include <map>
#include <sndfile.h>
#include <vector>

using namespace blendora;

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::int64_t kBlockBytes = 20000;

// Remembers which attempt gave the channel of the last decode.
struct WatchingEngine : Engine {
    EngineHandle stream = 0, music = 0;
    EngineHandle StreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                  std::uint64_t length, std::uint32_t flags) override {
        music = 0;
        return stream = Engine::StreamCreateFile(mem, file, offset, length, flags);
    }
    EngineHandle MusicLoad(int mem, const void* file, std::uint64_t offset, std::uint32_t length,
                           std::uint32_t flags, std::uint32_t freq) override {
        return music = Engine::MusicLoad(mem, file, offset, length, flags, freq);
    }
};

struct Pcm {
    bool ok = false;
    int rate = 0, channels = 0;
    std::vector<short> samples;
    sf_count_t frames = 0;
};

// Any WAV, through libsndfile; samples only when asked for.
Pcm readWav(const QString& path, bool samples) {
    Pcm pcm;
    SF_INFO info{};
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!f)
        return pcm;
    pcm.ok = true;
    pcm.rate = info.samplerate;
    pcm.channels = info.channels;
    pcm.frames = info.frames;
    if (samples) {
        pcm.samples.resize(std::size_t(info.frames * info.channels));
        pcm.samples.resize(
            std::size_t(sf_read_short(f, pcm.samples.data(), sf_count_t(pcm.samples.size()))));
    }
    sf_close(f);
    return pcm;
}

// libopenmpt's own render of the whole file from memory: once through, stopping at the song's
// end. (Its duration estimate can be off by a fifth of a second from what it renders.)
std::int64_t moduleReferenceBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray bytes = file.readAll();
    const openmpt_module_initial_ctl ctls[] = {{"play.at_end", "stop"}, {nullptr, nullptr}};
    openmpt_module* m = openmpt_module_create_from_memory2(
        bytes.constData(), std::size_t(bytes.size()), openmpt_log_func_silent, nullptr,
        openmpt_error_func_ignore, nullptr, nullptr, nullptr, ctls);
    if (!m)
        return -1;
    openmpt_module_set_repeat_count(m, 0);
    std::vector<std::int16_t> block(2 * 1024);
    std::int64_t frames = 0;
    while (const std::size_t n =
               openmpt_module_read_interleaved_stereo(m, kRate, 1024, block.data()))
        frames += std::int64_t(n);
    openmpt_module_destroy(m);
    return frames * 4;
}

struct Tally {
    int files = 0, accepted = 0, refused = 0, mismatches = 0;
};

class Checker {
  public:
    explicit Checker(const QString& work) : wav_(work + "/out.wav"), ref_(work + "/ref.wav") {
        BASS_Init(0, kRate, 0, nullptr, nullptr);
    }

    void module(const QString& path) {
        Tally& t = tallies_["modules"];
        const bool ok = decode(path, t);
        if (!ok || engine_.stream != 0 || engine_.music == 0)
            return mismatch(t, path, "not decoded through the music attempt");
        const std::int64_t want = moduleReferenceBytes(path);
        const std::int64_t got = dataBytes();
        if (want < 0 || std::llabs(got - want) > kBlockBytes)
            mismatch(t, path, QStringLiteral("%1 bytes, libopenmpt says %2").arg(got).arg(want));
    }

    void mp3(const QString& path) {
        Tally& t = tallies_["mp3"];
        QFile::remove(ref_);
        QProcess mpg123;
        mpg123.start("mpg123", {"-q", "-w", ref_, path});
        mpg123.waitForFinished(-1);
        const Pcm want = readWav(ref_, true);
        const bool ok = decode(path, t);
        if (!want.ok || want.frames == 0) {
            if (ok)
                mismatch(t, path, "accepted where mpg123 decodes nothing");
            else
                std::printf("corpus: refused, as by mpg123: %s\n", qPrintable(path));
            return;
        }
        if (!ok || engine_.stream == 0)
            return mismatch(t, path, "refused where mpg123 decodes it");
        const Pcm got = readWav(wav_, true);
        if (got.rate != want.rate || got.channels != want.channels || got.samples != want.samples)
            mismatch(t, path,
                     QStringLiteral("%1 Hz %2 ch %3 samples, mpg123 %4 Hz %5 ch %6 samples")
                         .arg(got.rate)
                         .arg(got.channels)
                         .arg(got.samples.size())
                         .arg(want.rate)
                         .arg(want.channels)
                         .arg(want.samples.size()));
    }

    void other(const QString& path) {
        Tally& t = tallies_["other"];
        const Pcm want = readWav(path, false);
        const bool ok = decode(path, t);
        if (!want.ok) {
            if (ok)
                mismatch(t, path, "accepted where libsndfile refuses it");
            else
                std::printf("corpus: refused, as by libsndfile: %s\n", qPrintable(path));
            return;
        }
        if (!ok)
            return mismatch(t, path, "refused where libsndfile reads it");
        const Pcm got = readWav(wav_, false);
        if (got.frames != want.frames || got.rate != want.rate || got.channels != want.channels)
            mismatch(
                t, path,
                QStringLiteral("%1 frames, libsndfile says %2").arg(got.frames).arg(want.frames));
    }

    void nonAudio(const QString& path) {
        Tally& t = tallies_["non-audio"];
        const int before = int(prompts_.seen.size());
        if (decode(path, t))
            return mismatch(t, path, engine_.stream ? "accepted as a stream" : "accepted as music");
        if (prompts_.seen.size() != before + 1 ||
            prompts_.seen.last().text != "Can't read the file..." + path)
            mismatch(t, path, "refused without the message");
        else if (QFile::exists(wav_))
            mismatch(t, path, "refused but a WAV was left");
    }

    // One line a kind, then the closing count.
    int summary() const {
        int files = 0, bad = 0;
        for (const auto& [kind, t] : tallies_) {
            std::printf("corpus: %-9s %5d files, %5d accepted, %5d refused, %d mismatches\n",
                        kind.c_str(), t.files, t.accepted, t.refused, t.mismatches);
            files += t.files;
            bad += t.mismatches;
        }
        std::printf("corpus: %d passed, %d failed\n", files - bad, bad);
        return bad == 0 ? 0 : 1;
    }

  private:
    bool decode(const QString& path, Tally& t) {
        ++t.files;
        QFile::remove(wav_);
        engine_.stream = engine_.music = 0;
        bool ok = false;
        try {
            ok = decoder_.DecodeMp3ToWav(path, wav_);
        } catch (const std::exception& e) {
            std::printf("corpus: %s: failed: %s\n", qPrintable(path), e.what());
        }
        ++(ok ? t.accepted : t.refused);
        return ok;
    }

    std::int64_t dataBytes() const { return QFileInfo(wav_).size() - 44; }

    void mismatch(Tally& t, const QString& path, const QString& why) {
        ++t.mismatches;
        std::printf("corpus: MISMATCH %s: %s\n", qPrintable(path), qPrintable(why));
    }

    QString wav_, ref_;
    WatchingEngine engine_;
    test::ScriptedPrompts prompts_;
    Decoder decoder_{engine_, prompts_};
    std::map<std::string, Tally> tallies_;
};

QStringList filesIn(const QString& folder) {
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    files.sort();
    return files;
}

bool isElf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(4) == QByteArray("\x7f"
                                                                  "ELF",
                                                                  4);
}

// Files of this machine that are no audio: programs, documents, icons, fonts, archives.
QStringList nonAudioFiles(const QString& corpus) {
    QStringList files = filesIn(corpus + "/nonaudio");
    for (const QString& f : filesIn("/usr/bin"))
        if (!QFileInfo(f).isSymLink() && isElf(f))
            files << f;
    const QRegularExpression audio(
        "\\.(mp[123]|wav|ogg|oga|opus|flac|aiff?|au|mod|xm|s3m|it|mid|midi)$",
        QRegularExpression::CaseInsensitiveOption);
    for (const char* folder : {"/usr/share/doc", "/usr/share/icons", "/usr/share/fonts"})
        for (const QString& f : filesIn(QString::fromUtf8(folder)))
            if (!QFileInfo(f).isSymLink() && !audio.match(f).hasMatch())
                files << f;
    return files;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: corpus_check CORPUS\n");
        return 2;
    }
    QTemporaryDir work;
    Checker check(work.path());
    const QString corpus = args.first();
    for (const QString& f : filesIn(corpus + "/modules"))
        check.module(f);
    for (const QString& f : filesIn(corpus + "/mp3"))
        check.mp3(f);
    for (const QString& f : filesIn(corpus + "/other"))
        check.other(f);
    for (const QString& f : nonAudioFiles(corpus))
        check.nonAudio(f);
    return check.summary();
}
