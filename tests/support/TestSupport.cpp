#include "TestSupport.h"
#include <QFileInfo>
#include <fcntl.h>
#include <map>

#include "Failure.h"

#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QtEndian>
#include <QtTest>
#include <cmath>
#include <sys/resource.h>

namespace blendora::test {

namespace {
Prompt record(ScriptedPrompts& p, Prompt prompt) {
    p.seen << prompt;
    if (p.onPrompt)
        p.onPrompt(prompt);
    return prompt;
}
} // namespace

void ScriptedPrompts::message(const QString& text, const QString& caption) {
    record(*this, {Prompt::Message, text, caption, {}});
}

void ScriptedPrompts::notice(const QString& text, const QString& caption) {
    record(*this, {Prompt::Notice, text, caption, {}});
}

bool ScriptedPrompts::question(const QString& text, const QString& caption) {
    record(*this, {Prompt::Question, text, caption, {}});
    if (onQuestionThrow) {
        onQuestionThrow();
        fail(QStringLiteral("The question could not be shown."));
    }
    return answers.isEmpty() ? false : answers.takeFirst();
}

void ScriptedPrompts::warning(const QString& text, const QString& caption) {
    record(*this, {Prompt::Warning, text, caption, {}});
}

QString ScriptedPrompts::openFile(const FileDialogRequest& request) {
    record(*this, {Prompt::Open, request.title, {}, request});
    return files.isEmpty() ? QString() : files.takeFirst();
}

QString ScriptedPrompts::saveFile(const FileDialogRequest& request) {
    record(*this, {Prompt::Save, request.title, {}, request});
    return files.isEmpty() ? QString() : files.takeFirst();
}

QStringList ScriptedPrompts::texts() const {
    QStringList out;
    for (const Prompt& p : seen)
        out << p.text;
    return out;
}

int ScriptedPrompts::count(Prompt::Kind kind) const {
    int n = 0;
    for (const Prompt& p : seen)
        n += p.kind == kind;
    return n;
}

QByteArray waveBytes(const QByteArray& samples, const WaveForm& form) {
    const auto le32 = [](qint64 v) {
        char b[4];
        qToLittleEndian<quint32>(quint32(v), b);
        return QByteArray(b, 4);
    };
    const auto le16 = [](int v) {
        char b[2];
        qToLittleEndian<quint16>(quint16(v), b);
        return QByteArray(b, 2);
    };
    const int block = form.channels * form.bits / 8;
    return "RIFF" + le32(36 + form.before.size() + samples.size() + form.after.size()) +
           "WAVEfmt " + le32(16) + le16(form.tag) + le16(form.channels) + le32(form.rate) +
           le32(qint64(form.rate) * block) + le16(block) + le16(form.bits) + form.before + "data" +
           le32(form.declared < 0 ? samples.size() : form.declared) + samples + form.after;
}

QByteArray toneSamples(int rate, int channels, double seconds, double frequency, double amplitude,
                       Pcm pcm) {
    const int width = pcm == Pcm::U8 ? 1 : pcm == Pcm::S16 ? 2 : pcm == Pcm::S24 ? 3 : 4;
    const qint64 frames = qint64(std::llround(seconds * rate));
    QByteArray bytes(frames * channels * width, '\0');
    char* s = bytes.data();
    for (qint64 i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * M_PI * frequency * double(i) / rate);
        for (int c = 0; c < channels; ++c, s += width) {
            switch (pcm) {
            case Pcm::U8:
                *s = char(quint8(std::lround(128 + v * 127)));
                break;
            case Pcm::S16:
                qToLittleEndian<qint16>(qint16(std::lround(v * 32767)), s);
                break;
            case Pcm::S24: {
                const qint32 w = qint32(std::lround(v * 8388607));
                s[0] = char(w & 0xff);
                s[1] = char((w >> 8) & 0xff);
                s[2] = char((w >> 16) & 0xff);
                break;
            }
            case Pcm::F32:
                qToLittleEndian<float>(float(v), s);
                break;
            }
        }
    }
    return bytes;
}

QByteArray toneWave(int rate, int channels, double seconds, double frequency, double amplitude,
                    Pcm pcm) {
    const int bits = pcm == Pcm::U8 ? 8 : pcm == Pcm::S16 ? 16 : pcm == Pcm::S24 ? 24 : 32;
    return waveBytes(toneSamples(rate, channels, seconds, frequency, amplitude, pcm),
                     {rate, channels, bits, quint16(pcm == Pcm::F32 ? 3 : 1)});
}

void writeToneWav(const QString& path, int rate, int channels, double seconds, double frequency,
                  double amplitude) {
    writeAll(path, toneWave(rate, channels, seconds, frequency, amplitude));
}

QString makeToneMp3(const QString& folder, const QString& name, int rate, int channels,
                    double seconds, double frequency, double amplitude) {
    const QString wav = folder + QLatin1Char('/') + name + QStringLiteral(".wav");
    const QString mp3 = folder + QLatin1Char('/') + name + QStringLiteral(".mp3");
    writeToneWav(wav, rate, channels, seconds, frequency, amplitude);
    if (!run(QStringLiteral(BLENDORA_LAME),
             {QStringLiteral("--quiet"), QStringLiteral("-h"), wav, mp3}))
        return QString();
    QFile::remove(wav);
    return mp3;
}

const QString kGatedLame = QStringLiteral("#!/bin/sh\necho $PPID >\"$ROW/supervisor\"\n"
                                          "echo $$ >\"$ROW/encoder-pid\"\n"
                                          "while [ ! -e \"$ROW/go\" ]; do\n"
                                          "  [ -d \"$ROW\" ] || exit 1\n"
                                          "  sleep 0.05\n"
                                          "done\n"
                                          "exec '%1' \"$@\"\n")
                               .arg(QStringLiteral(BLENDORA_LAME));

bool run(const QString& program, const QStringList& arguments, QByteArray* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    if (!p.waitForFinished(300000)) {
        qWarning() << program << "did not finish";
        return false;
    }
    const QByteArray out = p.readAll();
    if (output)
        *output = out;
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning() << program << arguments << "failed:" << out;
        return false;
    }
    return true;
}

QVector<qint16> decode(const QString& path, ChannelInfo* info) {
    QVector<qint16> samples;
    const bool own = BASS_Init(0, 44100, 0, nullptr, nullptr) != 0;
    const auto stop = qScopeGuard([own] {
        if (own)
            BASS_Free();
    });
    const EngineHandle h =
        BASS_StreamCreateFile(0, path.utf16(), 0, 0, kStreamDecode | kUnicodeName);
    ChannelInfo local;
    if (!h || !BASS_ChannelGetInfo(h, info ? info : &local))
        return samples;
    char buffer[20000];
    for (std::int32_t n; (n = BASS_ChannelGetData(h, buffer, sizeof buffer)) > 0;)
        samples.append(QVector<qint16>(reinterpret_cast<qint16*>(buffer),
                                       reinterpret_cast<qint16*>(buffer) + n / 2));
    return samples;
}

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

JobFile at(const QString& path) {
    static std::map<QString, int> folders;
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    auto it = folders.find(folder);
    if (it == folders.end() || it->second < 0) {
        const int fd =
            ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        it = folders.insert_or_assign(folder, fd).first;
    }
    return {it->second, QFile::encodeName(info.fileName()), path, false};
}

double cpuSeconds() {
    rusage used{};
    getrusage(RUSAGE_SELF, &used);
    return double(used.ru_utime.tv_sec + used.ru_stime.tv_sec) +
           double(used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
}

namespace {

QStringList& skippedRows() {
    static QStringList rows;
    return rows;
}

} // namespace

void noteSkipped() {
    const char* tag = QTest::currentDataTag();
    skippedRows() << QString::fromLatin1(QTest::currentTestFunction()) +
                         (tag ? QStringLiteral(":") + QString::fromUtf8(tag) : QString());
}

int finish(int failed) {
    if (failed != 0 || skippedRows().isEmpty())
        return failed;
    std::printf("%lld rows skipped, none failed:\n", qint64(skippedRows().size()));
    for (const QString& row : skippedRows())
        std::printf("  skipped: %s\n", qPrintable(row));
    std::fflush(stdout);
    return 77; // CTest's SKIP_RETURN_CODE
}

} // namespace blendora::test
