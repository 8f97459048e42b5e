// Judges the engine and DecodeMp3ToWav on files nobody here made, each against a reference
// computed in the same run: libopenmpt's own render for modules, `mpg123 -w` for MP3,
// libsndfile's frame count for Ogg, FLAC and WAV. Each MP3 is also damaged and wrapped in the
// ways real files are, and must then decode to its clean self. Files of the machine that are
// not audio, and bytes made to look like nothing, must be refused by both attempts. Too few
// files of a kind, or a reference tool that is missing or crashes, fail the check.
//
// Usage: corpus_check <corpus folder with modules/ mp3/ other/ nonaudio/> <fresh folder>
// (the second made by scripts/fresh-corpus for this run: loud/ damaged/ pictures/ songs/
// then-song/ elf.list)
#include "Decode.h"
#include "EngineSeam.h"
#include "FileSource.h"
#include "MpegProbe.h"
#include "Signature.h"
#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <libopenmpt/libopenmpt.h>
#include <map>
#include <random>
#include <sndfile.h>
#include <vector>

using namespace blendora;

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::int64_t kBlockBytes = 20000;

// Remembers which attempt gave the channel of the last decode.
struct WatchingEngine : EngineSeam {
    EngineHandle stream = 0, music = 0;
    EngineOpened StreamCreateFile(int mem, const void* file, std::uint64_t offset,
                                  std::uint64_t length, std::uint32_t flags) override {
        music = 0;
        const EngineOpened opened = EngineSeam::StreamCreateFile(mem, file, offset, length, flags);
        stream = opened.handle;
        return opened;
    }
    EngineOpened MusicLoad(int mem, const void* file, std::uint64_t offset, std::uint32_t length,
                           std::uint32_t flags, std::uint32_t freq) override {
        const EngineOpened opened = EngineSeam::MusicLoad(mem, file, offset, length, flags, freq);
        music = opened.handle;
        return opened;
    }
};

struct Pcm {
    bool ok = false;
    int rate = 0, channels = 0;
    std::vector<short> samples;
    sf_count_t frames = 0;
};

// How a decode differs from its reference (`name`): empty when rate, channels and every sample
// agree.
QString differs(const Pcm& got, const Pcm& want, const QString& name) {
    if (got.rate == want.rate && got.channels == want.channels && got.samples == want.samples)
        return QString();
    return QStringLiteral("%1 Hz %2 ch %3 samples, %4 %5 Hz %6 ch %7 samples")
        .arg(got.rate)
        .arg(got.channels)
        .arg(got.samples.size())
        .arg(name)
        .arg(want.rate)
        .arg(want.channels)
        .arg(want.samples.size());
}

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

// libopenmpt's own render of the whole file from memory, with the engine's settings: once
// through, stopping at the song's end, no dither. Empty when libopenmpt cannot load it.
std::vector<std::int16_t> moduleReference(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const openmpt_module_initial_ctl ctls[] = {
        {"play.at_end", "stop"}, {"dither", "0"}, {nullptr, nullptr}};
    openmpt_module* m = openmpt_module_create_from_memory2(
        bytes.constData(), std::size_t(bytes.size()), openmpt_log_func_silent, nullptr,
        openmpt_error_func_ignore, nullptr, nullptr, nullptr, ctls);
    if (!m)
        return {};
    openmpt_module_set_repeat_count(m, 0);
    std::vector<std::int16_t> out, block(2 * 4096);
    while (const std::size_t n =
               openmpt_module_read_interleaved_stereo(m, kRate, 4096, block.data()))
        out.insert(out.end(), block.begin(), block.begin() + std::ptrdiff_t(2 * n));
    openmpt_module_destroy(m);
    return out;
}

// got against want: the same samples, except for at most `spare` of them in one place, which
// may differ or be missing.
bool sameExcept(const std::vector<short>& got, const std::vector<short>& want, std::size_t spare) {
    if (got.size() + spare < want.size() || got.size() > want.size() + spare)
        return false;
    const std::size_t shorter = std::min(got.size(), want.size());
    std::size_t prefix = 0, suffix = 0;
    while (prefix < shorter && got[prefix] == want[prefix])
        ++prefix;
    while (suffix < shorter - prefix &&
           got[got.size() - 1 - suffix] == want[want.size() - 1 - suffix])
        ++suffix;
    return prefix + suffix + spare >= want.size();
}

// How many blocks of `block` samples of want do not appear in got within `shift` samples of
// their own place. A decoder that lost a frame resyncs and goes on, and may then also keep the
// encoder's delay and padding it would otherwise trim: everything else must still be there,
// give or take one in the last bit (its floating-point synthesis starts from another state).
std::size_t blocksMissing(const std::vector<short>& got, const std::vector<short>& want,
                          std::size_t block, std::size_t shift) {
    auto near = [](short a, short b) { return std::abs(int(a) - int(b)) <= 1; };
    std::size_t missing = 0;
    for (std::size_t at = 0; at + block <= want.size(); at += block) {
        const std::size_t from = at > shift ? at - shift : 0;
        bool found = false;
        for (std::size_t g = from; !found && g <= at + shift && g + block <= got.size(); ++g)
            found = std::equal(want.begin() + std::ptrdiff_t(at),
                               want.begin() + std::ptrdiff_t(at + block),
                               got.begin() + std::ptrdiff_t(g), near);
        missing += found ? 0 : 1;
    }
    return missing;
}

bool writeWav(const QString& path, int rate, int channels, const std::vector<short>& samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!f)
        return false;
    const bool ok =
        sf_write_short(f, samples.data(), sf_count_t(samples.size())) == sf_count_t(samples.size());
    return sf_close(f) == 0 && ok;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray bigEndian32(quint32 v) {
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[3 - i] = char(v >> (8 * i));
    return b;
}

QByteArray synchsafe(quint32 v) {
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[3 - i] = char((v >> (7 * i)) & 0x7F);
    return b;
}

// A RIFF WAVE file whose data chunk holds an MPEG stream, as ACM writers made them.
QByteArray riffAround(const QByteArray& stream, quint16 formatTag) {
    const QByteArray pad = stream.size() % 2 ? QByteArray(1, '\0') : QByteArray();
    return test::waveBytes(stream, {.rate = 0, .bits = 0, .tag = formatTag, .after = pad});
}

// An ID3v2.3 tag with a title and a picture. Uncounted, the declared size stops where the
// picture's bytes begin, as some taggers did, and where libmagic reads on.
QByteArray id3Tag(const QByteArray& picture, bool counted) {
    const QByteArray title = QByteArray("\0Blendora", 9);
    const QByteArray apicBody = QByteArray("\0image/jpeg\0\3\0", 14) + picture;
    const QByteArray frames = "TIT2" + bigEndian32(quint32(title.size())) + QByteArray(2, '\0') +
                              title + "APIC" + bigEndian32(quint32(apicBody.size())) +
                              QByteArray(2, '\0') + apicBody;
    const qsizetype declared = counted ? frames.size() : frames.size() - picture.size();
    return QByteArray("ID3\3\0\0", 6) + synchsafe(quint32(declared)) + frames;
}

const std::string kVariants = "mp3 variants";

struct Tally {
    int files = 0, accepted = 0, refused = 0, mismatches = 0;
};

// Fewer files than these means the fetch or the machine lost some: the check fails.
const std::map<std::string, int> kMinimum = {
    {"modules", 80},
    {"mp3", 160},
    {kVariants, 1500},
    {"mp3, other data after", 160},
    {"mp3, free format cut inside its last frame", 35},
    {"other", 250},
    {"non-audio", 2000},
    {"non-audio: time zones and terminfo", 500},
    {"non-audio: objects, archives, bytecode, catalogues", 300},
    {"non-audio: images and databases", 30},
    {"non-audio: bytes made", 100},
    {"non-audio: pictures made from PNG files", 10000},
    {"non-audio: random bytes with MPEG headers", 2000},
    {"fresh: loud", 30},
    {"fresh: damaged", 12},
    {"non-audio: fresh pictures", 1500},
    {"fresh: pictures, then a song", 200},
    {"non-audio: ELF files", 1500},
};

// How a variant may differ from its clean file.
struct Tolerance {
    std::size_t spare = 0;   // samples that may differ or be missing, in one place
    std::size_t damaged = 0; // frames whose headers were wiped
    std::size_t frame = 0;   // samples in a frame, all channels
    std::size_t least = 0;   // a cut file: samples it must still give, as the clean one
    std::size_t reach = 1;   // frames whose bits a lost frame may hold (layer III's reservoir)
};

class Checker {
  public:
    explicit Checker(const QString& work)
        : work_(work), wav_(work + "/out.wav"), ref_(work + "/ref.wav") {
        BASS_Init(0, kRate, 0, nullptr, nullptr);
    }

    void module(const QString& path) {
        Tally& t = tallies_["modules"];
        namedOtherwise(path, t);
        const bool ok = decode(path, t);
        if (!ok || engine_.stream != 0 || engine_.music == 0)
            return mismatch(t, path, "not decoded through the music attempt");
        const std::vector<std::int16_t> want = moduleReference(path);
        const Pcm got = readWav(wav_, true);
        if (want.empty())
            return mismatch(t, path, "libopenmpt's own render gives nothing");
        // Some modules pan at random and render differently each time: only their length counts.
        if (moduleReference(path) != want) {
            if (std::llabs(std::int64_t(got.samples.size()) - std::int64_t(want.size())) * 2 >
                kBlockBytes)
                mismatch(t, path,
                         QStringLiteral("%1 samples, libopenmpt renders %2 (random panning)")
                             .arg(got.samples.size())
                             .arg(want.size()));
        } else if (!std::equal(got.samples.begin(), got.samples.end(), want.begin(), want.end())) {
            mismatch(t, path,
                     QStringLiteral("%1 samples differ from libopenmpt's %2")
                         .arg(got.samples.size())
                         .arg(want.size()));
        }
    }

    void mp3(const QString& path, const QString& partner) {
        Tally& t = tallies_["mp3"];
        const Pcm want = mpg123(path, ref_, t);
        namedOtherwise(path, t);
        const bool ok = decode(path, t);
        if (!want.ok || want.frames == 0) {
            if (ok)
                mismatch(t, path, "accepted where mpg123 decodes nothing");
            else if (!referenceFailed_)
                std::printf("corpus: refused, as by mpg123: %s\n", qPrintable(path));
            return;
        }
        if (!ok || engine_.stream == 0)
            return mismatch(t, path, "refused where mpg123 decodes it");
        if (const QString wrong = differs(readWav(wav_, true), want, "mpg123"); !wrong.isEmpty())
            return mismatch(t, path, wrong);
        variants(path, want, partner);
    }

    void other(const QString& path) {
        Tally& t = tallies_["other"];
        const Pcm want = readWav(path, false);
        namedOtherwise(path, t);
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

    void nonAudio(const QString& path, const std::string& group) {
        Tally& t = tallies_["non-audio"];
        Tally& g = tallies_["non-audio: " + group];
        ++g.files;
        const int before = int(prompts_.seen.size());
        if (decode(path, t)) {
            ++g.accepted;
            ++g.mismatches;
            return mismatch(t, path, engine_.stream ? "accepted as a stream" : "accepted as music");
        }
        ++g.refused;
        if (prompts_.seen.size() != before + 1 ||
            prompts_.seen.last().text != "Can't read the file..." + path)
            mismatch(t, path, "refused without the message");
        else if (QFile::exists(wav_))
            mismatch(t, path, "refused but a WAV was left");
    }

    // One line a kind, then the closing count.
    int summary() {
        for (const auto& [kind, least] : kMinimum)
            if (tallies_[kind].files < least) {
                std::printf("corpus: TOO FEW %s: %d files, at least %d expected\n", kind.c_str(),
                            tallies_[kind].files, least);
                ++tallies_[kind].mismatches;
            }
        int files = 0, bad = 0;
        for (const auto& [kind, t] : tallies_) {
            std::printf("corpus: %-52s %5d files, %5d accepted, %5d refused, %d mismatches\n",
                        kind.c_str(), t.files, t.accepted, t.refused, t.mismatches);
            if (kind.rfind("non-audio: ", 0) == 0)
                continue; // counted in non-audio already
            files += t.files;
            bad += t.mismatches;
        }
        std::printf("corpus: %d passed, %d failed\n", files - bad, bad);
        return bad == 0 ? 0 : 1;
    }

    // A loud file an encoder made is read to mpg123's length, as loud as it is.
    void loud(const QString& path) {
        Tally& t = tallies_["fresh: loud"];
        namedOtherwise(path, t);
        const Pcm want = mpg123(path, ref_, t);
        if (!want.ok || want.frames == 0)
            return mismatch(t, path, "mpg123 decodes nothing");
        if (!decode(path, t))
            return mismatch(t, path, "refused where mpg123 decodes it");
        const Pcm got = readWav(wav_, false);
        if (got.frames != want.frames || got.rate != want.rate || got.channels != want.channels)
            mismatch(t, path,
                     QStringLiteral("%1 frames, mpg123 %2").arg(got.frames).arg(want.frames));
    }

    // A damaged song is played through: at most half a second shorter than ffmpeg plays it.
    void damaged(const QString& path) {
        Tally& t = tallies_["fresh: damaged"];
        namedOtherwise(path, t);
        QFile::remove(ref_);
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-v", "quiet", "-y", "-i", path, ref_});
        if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitStatus() != QProcess::NormalExit)
            return mismatch(t, path, "ffmpeg is missing or crashed");
        const Pcm want = readWav(ref_, false);
        if (!decode(path, t))
            return mismatch(t, path, "refused where ffmpeg plays it");
        const Pcm got = readWav(wav_, false);
        if (got.rate != want.rate || got.frames + want.rate / 2 < want.frames)
            mismatch(t, path,
                     QStringLiteral("%1 frames, ffmpeg %2").arg(got.frames).arg(want.frames));
    }

    // A few zero bytes, a picture, then a song: the song as mpg123 decodes it alone, or nothing
    // where libmagic names the picture by its signature.
    void pictureThenSong(const QString& path, const QString& song) {
        Tally& t = tallies_["fresh: pictures, then a song"];
        if (!songs_.count(song))
            songs_[song] = mpg123(song, ref_, t);
        const Pcm& want = songs_[song];
        if (!want.ok || want.frames == 0)
            return mismatch(t, path, "mpg123 decodes nothing of the song");
        const auto source = audio::FileSource::open(QFile::encodeName(path).toStdString(), 0, 0);
        const bool named = source && audio::signatureOf(*source) != Refusal::None;
        if (!decode(path, t))
            return named ? void() : mismatch(t, path, "refused");
        if (const QString wrong = differs(readWav(wav_, true), want, "the song alone");
            !wrong.isEmpty())
            mismatch(t, path, wrong);
    }

  private:
    // libmagic is asked only to refuse: an audio file it names something else is a fault, even
    // where the frames would have been found.
    void namedOtherwise(const QString& path, Tally& t, const QString& label = {}) {
        const auto source = audio::FileSource::open(QFile::encodeName(path).toStdString(), 0, 0);
        if (source && audio::signatureOf(*source) != Refusal::None)
            mismatch(t, label.isEmpty() ? path : label, "libmagic names it something else");
    }

    // mpg123's decode of path into wav. A missing or crashing mpg123 is a failure of the check,
    // not a file it refuses.
    Pcm mpg123(const QString& path, const QString& wav, Tally& t) {
        QFile::remove(wav);
        QProcess p;
        p.start("mpg123", {"-q", "-w", wav, path});
        referenceFailed_ = !p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit;
        if (referenceFailed_) {
            mismatch(t, path, "mpg123 is missing or crashed: " + p.errorString());
            return {};
        }
        return readWav(wav, true);
    }

    // Decodes a variant made from a clean MP3 and judges it against the clean samples.
    // A variant that puts other bytes beside the frames of a short sound may be refused: four
    // frames of sound in a row are what sets it apart, and damage may leave fewer.
    void variant(const QString& name, const QString& from, const QByteArray& bytes,
                 const std::vector<short>& want, Tolerance tolerance = {},
                 const std::string& group = kVariants, bool shortBeside = false) {
        std::size_t spare = tolerance.spare;
        const std::size_t frame = tolerance.frame;
        Tally& t = tallies_[group];
        const QString path = work_ + "/variant.mp3";
        const QString label = from + " (" + name + ")";
        if (!writeFile(path, bytes))
            return mismatch(t, label, "could not be written");
        namedOtherwise(path, t, label);
        if (!decode(path, t)) {
            if (shortBeside)
                std::printf("corpus: refused, a short sound beside other bytes: %s\n",
                            qPrintable(label));
            else
                mismatch(t, label, "refused");
            return;
        }
        const Pcm got = readWav(wav_, true);
        bool same = false;
        if (const std::size_t damaged = tolerance.damaged) {
            // A lost frame takes along the frames whose bits it held and the one after, whose
            // overlap it was; blocks straddle frames; delay and padding may stay untrimmed.
            const std::size_t lost = blocksMissing(got.samples, want, frame, 3 * frame);
            same = lost <= damaged * (tolerance.reach + 2) + 2 &&
                   got.samples.size() + (damaged + 3) * frame >= want.size() &&
                   got.samples.size() <= want.size() + 3 * frame;
            spare = lost;
        } else if (tolerance.least > 0) {
            const std::size_t kept = std::min(want.size(), got.samples.size());
            same = kept >= tolerance.least &&
                   sameExcept(got.samples,
                              std::vector<short>(want.begin(), want.begin() + std::ptrdiff_t(kept)),
                              spare);
        } else {
            same = sameExcept(got.samples, want, spare);
        }
        if (!same)
            mismatch(t, label,
                     QStringLiteral("%1 samples, the clean file %2, %3 may differ")
                         .arg(got.samples.size())
                         .arg(want.size())
                         .arg(spare));
    }

    void variants(const QString& path, const Pcm& clean, const QString& partner) {
        const QByteArray file = readFile(path);
        const auto source = audio::FileSource::open(QFile::encodeName(path).toStdString(), 0, 0);
        if (!source)
            return;
        const audio::MpegWalk walk = audio::walkMpeg(*source);
        const QByteArray tag = file.left(qsizetype(walk.start));
        const QByteArray audio = file.mid(qsizetype(walk.start));
        // Frame offsets from the first, as the header chain gives them.
        std::vector<qsizetype> frames;
        int samplesPerFrame = 1152;
        std::size_t reach = 1;
        for (qsizetype at = 0; at + 4 <= audio.size();) {
            const auto h = audio::parseMpegHeader(
                reinterpret_cast<const unsigned char*>(audio.constData() + at));
            if (!h || h->frameBytes == 0)
                break;
            samplesPerFrame = h->samples;
            // Layer III reaches back up to 511 bytes (255 in MPEG 2) for a frame's bits.
            if (h->layer == 3)
                reach = std::max(
                    reach, 1 + std::size_t(((h->version == 1 ? 511 : 255) + h->frameBytes - 1) /
                                           h->frameBytes));
            frames.push_back(at);
            at += h->frameBytes;
        }
        std::mt19937 random(qHash(path));
        auto bytes = [&](qsizetype n, bool zeros) {
            QByteArray b(n, '\0');
            if (!zeros)
                for (char& c : b)
                    c = char(random() & 0xFF);
            return b;
        };
        const std::size_t frame = std::size_t(samplesPerFrame) * std::size_t(clean.channels);
        std::size_t sound = 0;
        for (std::size_t at = 0; at < clean.samples.size(); at += frame)
            sound += std::any_of(clean.samples.begin() + std::ptrdiff_t(at),
                                 clean.samples.begin() +
                                     std::ptrdiff_t(std::min(at + frame, clean.samples.size())),
                                 [](short v) { return v != 0; });
        const bool shortSound = sound < 2 * audio::kSoundFrames;
        // 1 to 64 KB, however short the audio.
        const qsizetype zeros = (qsizetype(1024) << (random() % 7)) + qsizetype(random() % 1024);
        const qsizetype junk = zeros;
        const QByteArray someTag = tag.startsWith("ID3") ? tag : id3Tag("cover", true);

        variant("zeros before", path, bytes(zeros, true) + audio, clean.samples);
        variant("tag, zeros", path, someTag + bytes(zeros, true) + audio, clean.samples);
        variant("junk before", path, bytes(junk, false) + audio, clean.samples, {}, kVariants,
                shortSound);
        variant("tag, junk", path, someTag + bytes(junk, false) + audio, clean.samples, {},
                kVariants, shortSound);
        variant("tag short of its picture", path, id3Tag(picture(), false) + audio, clean.samples);
        variant("MP3 in RIFF", path, riffAround(audio, 0x55), clean.samples);
        // Followed by 1 to 4 times its size of other bytes: random, or a program.
        const qsizetype after = audio.size() * qsizetype(1 + random() % 4);
        QByteArray other = bytes(after, false);
        if (made_ % 2)
            for (QByteArray program = readFile(QCoreApplication::applicationFilePath());
                 other.size() - after < after;)
                other += program;
        variant("other data after", path, file + other.right(after), clean.samples, {},
                "mp3, other data after", shortSound);
        if (frames.size() >= 8) {
            // Headers of the third and fifth frames wiped; the first may be an Info frame.
            QByteArray one = audio, two = audio;
            one.replace(frames[2], 4, QByteArray(4, '\0'));
            two.replace(frames[2], 4, QByteArray(4, '\0'));
            two.replace(frames[4], 4, QByteArray(4, '\0'));
            variant("one damaged header", path, tag + one, clean.samples, {0, 1, frame, 0, reach},
                    kVariants, shortSound);
            variant("two damaged headers", path, tag + two, clean.samples, {0, 2, frame, 0, reach},
                    kVariants, shortSound);
            // Cut in the middle of a frame about 60% in: the frames before it decode as before,
            // less the encoder's delay, an Info frame and the last frame's overlap.
            const std::size_t cut = frames.size() * 6 / 10;
            variant("cut mid-frame", path, tag + audio.left(frames[cut] + 100), clean.samples,
                    {2 * frame, 0, frame, (cut - 3) * frame});
        }
        if (!partner.isEmpty())
            joinedVariant(path, audio, clean, partner, frame);
        if (++made_ % 4 == 0)
            remadeVariants(path, clean);
    }

    // Two MP3s of different rates joined: the first decodes as before, the second at the
    // first's rate, about as long as its own.
    void joinedVariant(const QString& path, const QByteArray& audio, const Pcm& clean,
                       const QString& partner, std::size_t frame) {
        Tally& t = tallies_[kVariants];
        const QString label = path + " (joined with " + partner + ")";
        const Pcm second = mpg123(partner, work_ + "/partner.wav", t);
        if (!second.ok || second.frames == 0)
            return;
        const QString joinedPath = work_ + "/variant.mp3";
        if (!writeFile(joinedPath, audio + readFile(partner)) || !decode(joinedPath, t))
            return mismatch(t, label, "refused");
        const Pcm got = readWav(wav_, true);
        const double converted = double(second.frames) * clean.rate / second.rate;
        // Inside a joined file nothing trims the second part's delay, padding and Info frame:
        // up to three of its frames, and the first part's padding.
        const double slack = 3.0 * 1152 * clean.rate / second.rate + 2.0 * 1152;
        const double frames = double(got.samples.size()) / clean.channels;
        const std::size_t head =
            clean.samples.size() > 2 * frame ? clean.samples.size() - 2 * frame : 0;
        if (got.rate != clean.rate || got.channels != clean.channels ||
            !std::equal(clean.samples.begin(), clean.samples.begin() + std::ptrdiff_t(head),
                        got.samples.begin(),
                        got.samples.begin() + std::ptrdiff_t(std::min(head, got.samples.size()))) ||
            std::abs(frames - double(clean.frames) - converted) > slack)
            mismatch(t, label,
                     QStringLiteral("%1 frames, about %2 expected")
                         .arg(frames)
                         .arg(double(clean.frames) + converted));
    }

    // Variants that need an encoder: free format starting with a second of digital silence
    // (identical frames), and MP2 in RIFF. mpg123 decodes the bare stream; the wrapped one must
    // give the same samples, and the free-format one must be the clean file after the silence.
    void remadeVariants(const QString& path, const Pcm& clean) {
        Tally& t = tallies_[kVariants];
        const QString source = work_ + "/source.wav";
        const QString bare = work_ + "/bare";
        std::vector<short> padded(std::size_t(clean.rate * clean.channels), 0);
        padded.insert(padded.end(), clean.samples.begin(), clean.samples.end());
        if (!writeWav(source, clean.rate, clean.channels, padded))
            return;
        QProcess lame;
        lame.start("lame", {"--quiet", "--freeformat", "-b", clean.rate >= 32000 ? "320" : "96",
                            source, bare});
        if (lame.waitForFinished(-1) && lame.exitStatus() == QProcess::NormalExit &&
            lame.exitCode() == 0) {
            const Pcm want = mpg123(bare, ref_, t);
            const std::size_t frame = 1152 * std::size_t(clean.channels);
            const std::size_t silence = std::size_t(clean.rate * clean.channels) - 2 * frame;
            const bool silent =
                want.samples.size() > silence &&
                std::all_of(want.samples.begin(), want.samples.begin() + std::ptrdiff_t(silence),
                            [](short v) { return v == 0; });
            if (want.ok && silent &&
                std::abs(double(want.samples.size()) - double(padded.size())) < 3.0 * frame) {
                variant("free format after silence", path, readFile(bare), want.samples);
                freeFormatCut(path, readFile(bare), t);
            } else
                mismatch(t, path + " (free format after silence)",
                         "mpg123 does not give the silence and then the clean file");
        }
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg",
                     {"-v", "error", "-y", "-i", source, "-c:a", "mp2", "-f", "mp2", bare});
        if (!ffmpeg.waitForFinished(-1) || ffmpeg.exitStatus() != QProcess::NormalExit)
            return mismatch(t, path + " (MP2 in RIFF)", "ffmpeg is missing or crashed");
        if (ffmpeg.exitCode() != 0)
            return; // rates MPEG-1 layer II does not have
        const Pcm want = mpg123(bare, ref_, t);
        if (want.ok)
            variant("MP2 in RIFF", path, riffAround(readFile(bare), 0x50), want.samples);
    }

    // Free format cut inside its last frame, judged against mpg123's decode of the cut file:
    // all but the cut frame, whose samples may be missing.
    void freeFormatCut(const QString& path, const QByteArray& stream, Tally& t) {
        Tally& g = tallies_["mp3, free format cut inside its last frame"];
        const qsizetype last = stream.lastIndexOf(stream.left(2));
        if (last <= 0)
            return mismatch(t, path + " (free format cut)", "no last frame found");
        const QByteArray cut = stream.left(last + (stream.size() - last) / 2);
        const QString cutPath = work_ + "/cut.mp3";
        if (!writeFile(cutPath, cut))
            return mismatch(g, path, "could not be written");
        const Pcm want = mpg123(cutPath, ref_, g);
        if (want.ok)
            variant("free format cut inside its last frame", path, cut, want.samples,
                    {2 * 1152 * std::size_t(want.channels)},
                    "mp3, free format cut inside its last frame");
    }

    // Picture bytes for tags: an image of the corpus, or the program itself as a stand-in.
    QByteArray picture() {
        if (picture_.isEmpty()) {
            QDirIterator it(QDir::rootPath() + "usr/share", {"*.jpg"}, QDir::Files,
                            QDirIterator::Subdirectories);
            picture_ = it.hasNext() ? readFile(it.next()) : QByteArray();
            if (picture_.size() < 20000)
                picture_ = readFile(QCoreApplication::applicationFilePath()).left(20000);
            picture_ = picture_.left(20000);
        }
        return picture_;
    }

    bool decode(const QString& path, Tally& t) {
        ++t.files;
        QFile::remove(wav_);
        engine_.stream = engine_.music = 0;
        bool ok = false;
        try {
            decoder_.DecodeMp3ToWav(path, test::at(wav_));
            ok = true;
        } catch (const UnreadableInput&) {
            // Refused, as it should be for much of the corpus.
        } catch (const std::exception& e) {
            std::printf("corpus: %s: failed: %s\n", qPrintable(path), e.what());
        }
        ++(ok ? t.accepted : t.refused);
        return ok;
    }

    void mismatch(Tally& t, const QString& path, const QString& why) {
        ++t.mismatches;
        std::printf("corpus: MISMATCH %s: %s\n", qPrintable(path), qPrintable(why));
    }

    QString work_, wav_, ref_;
    WatchingEngine engine_;
    test::ScriptedPrompts prompts_;
    Decoder decoder_{engine_, prompts_};
    std::map<std::string, Tally> tallies_;
    bool referenceFailed_ = false;
    int made_ = 0;
    QByteArray picture_;
    std::map<QString, Pcm> songs_; // mpg123's decode of each song pictures are followed by
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

// Files of this machine, and of the corpus, that are no audio, by group.
std::vector<std::pair<QString, std::string>> nonAudioFiles(const QString& corpus) {
    std::vector<std::pair<QString, std::string>> files;
    QSet<QString> seen;
    auto add = [&](const QString& f, const std::string& group) {
        if (!QFileInfo(f).isSymLink() && !seen.contains(f)) {
            seen.insert(f);
            files.emplace_back(f, group);
        }
    };
    for (const QString& f : filesIn(corpus + "/nonaudio/made"))
        add(f, "bytes made");
    for (const QString& f : filesIn(corpus + "/nonaudio/images"))
        add(f, "images and databases");
    for (const QString& f : filesIn(corpus + "/nonaudio/pictures"))
        add(f, "pictures made from PNG files");
    for (const QString& f : filesIn(corpus + "/nonaudio/noise"))
        add(f, "random bytes with MPEG headers");
    for (const QString& f : filesIn(corpus + "/nonaudio/archives"))
        add(f, "programs, documents, icons, fonts, archives");
    for (const QString& f : filesIn("/usr/bin"))
        if (isElf(f))
            add(f, "programs, documents, icons, fonts, archives");
    const QRegularExpression audio(
        "\\.(mp[123]|wav|ogg|oga|opus|flac|aiff?|au|mod|xm|s3m|it|mid|midi)$",
        QRegularExpression::CaseInsensitiveOption);
    for (const char* folder : {"/usr/share/doc", "/usr/share/icons", "/usr/share/fonts"})
        for (const QString& f : filesIn(QString::fromUtf8(folder)))
            if (!audio.match(f).hasMatch())
                add(f, "programs, documents, icons, fonts, archives");
    // Small binary data: tables of big-endian numbers, where runs of FF FF abound.
    for (const char* folder : {"/usr/share/zoneinfo", "/usr/share/terminfo", "/lib/terminfo"})
        for (const QString& f : filesIn(QString::fromUtf8(folder)))
            add(f, "time zones and terminfo");
    const QRegularExpression compiled("\\.(o|a|pyc|mo)$");
    for (const char* folder : {"/usr/lib", "/usr/share/locale"})
        for (const QString& f : filesIn(QString::fromUtf8(folder)))
            if (compiled.match(f).hasMatch() && !f.contains("/google-cloud-sdk/"))
                add(f, "objects, archives, bytecode, catalogues");
    const QRegularExpression pictures("\\.(jpe?g|gif|webp|sqlite|db)$",
                                      QRegularExpression::CaseInsensitiveOption);
    for (const QString& f : filesIn("/usr/share"))
        if (pictures.match(f).hasMatch())
            add(f, "images and databases");
    return files;
}

// For each MP3, another of a different rate to join it with.
QString partnerOf(const QString& mp3, const QStringList& all, std::map<QString, int>& rates) {
    auto rateOf = [&](const QString& f) {
        if (!rates.count(f)) {
            const auto source = audio::FileSource::open(QFile::encodeName(f).toStdString(), 0, 0);
            int rate = 0;
            if (source) {
                const audio::MpegWalk walk = audio::walkMpeg(*source);
                unsigned char h[4] = {};
                if (source->readAt(walk.start, h, 4) == 4)
                    if (const auto header = audio::parseMpegHeader(h))
                        rate = header->sampleRate;
            }
            rates[f] = rate;
        }
        return rates[f];
    };
    const int rate = rateOf(mp3);
    const qsizetype at = all.indexOf(mp3);
    for (qsizetype i = 1; i < all.size() && i < 200; ++i) {
        const QString& other = all[(at + i) % all.size()];
        if (rateOf(other) != 0 && rate != 0 && rateOf(other) != rate)
            return other;
    }
    return {};
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: corpus_check CORPUS FRESH\n");
        return 2;
    }
    const QString corpus = args.first();
    if (corpus.isEmpty() || !QFileInfo(corpus + "/mp3").isDir()) {
        std::fprintf(stderr, "corpus_check: no corpus at \"%s\" (did the fetch fail?)\n",
                     qPrintable(corpus));
        return 1;
    }
    QTemporaryDir work;
    Checker check(work.path());
    for (const QString& f : filesIn(corpus + "/modules"))
        check.module(f);
    const QStringList mp3s = filesIn(corpus + "/mp3");
    std::map<QString, int> rates;
    for (const QString& f : mp3s)
        check.mp3(f, partnerOf(f, mp3s, rates));
    for (const QString& f : filesIn(corpus + "/other"))
        check.other(f);
    for (const auto& [f, group] : nonAudioFiles(corpus))
        check.nonAudio(f, group);
    // The groups scripts/fresh-corpus made for this run.
    const QString fresh = args[1];
    for (const QString& f : filesIn(fresh + "/loud"))
        check.loud(f);
    for (const QString& f : filesIn(fresh + "/damaged"))
        check.damaged(f);
    for (const QString& f : filesIn(fresh + "/pictures"))
        check.nonAudio(f, "fresh pictures");
    for (const QString& f : filesIn(fresh + "/then-song"))
        check.pictureThenSong(f, fresh + "/songs/" + f.section('.', -2));
    for (const QByteArray& f : readFile(fresh + "/elf.list").split('\n'))
        if (!f.isEmpty())
            check.nonAudio(QFile::decodeName(f), "ELF files");
    std::printf("corpus: fresh groups made from seed %s", readFile(fresh + "/seed").constData());
    return check.summary();
}
