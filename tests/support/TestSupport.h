#pragma once

#include "AudioEngine.h"
#include "BarView.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "Prompts.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>
#include <functional>

namespace blendora::test {

// Every message box and dialog, answered from a script.
struct Prompt {
    enum Kind { Message, Question, Warning, Open, Save, Notice } kind;
    QString text; // message text, or the dialog's title
    QString caption;
    FileDialogRequest request;
};

class ScriptedPrompts : public Prompts {
  public:
    void message(const QString& text, const QString& caption) override;
    bool question(const QString& text, const QString& caption) override;
    void warning(const QString& text, const QString& caption) override;
    void notice(const QString& text, const QString& caption) override;
    QString openFile(const FileDialogRequest& request) override;
    QString saveFile(const FileDialogRequest& request) override;

    QList<Prompt> seen;
    QList<bool> answers;                         // for questions; No when empty
    QStringList files;                           // for open and save dialogs; cancel when empty
    std::function<void(const Prompt&)> onPrompt; // runs while the box is "open"
    std::function<void()> onQuestionThrow;       // when set, a question throws after it

    QStringList texts() const;
    int count(Prompt::Kind kind) const;
};

class RecordingShell : public Shell {
  public:
    bool openUrl(const QString& url) override {
        urls << url;
        return true;
    }
    bool openFolder(const QString& folder) override {
        folders << folder;
        return true;
    }
    QStringList urls, folders;
};

// A WAV file's header and what stands around its samples. The format chunk's fields follow
// from these as a writer computes them; the RIFF size counts the bytes that are there.
struct WaveForm {
    int rate = 44100;
    int channels = 2;
    int bits = 16;
    quint16 tag = 1;      // 1 PCM, 3 float, 0x50 and 0x55 MPEG
    QByteArray before{};  // chunks between "fmt " and "data"
    QByteArray after{};   // bytes after the samples
    qint64 declared = -1; // the data size the header claims, when not the samples' own
};
QByteArray waveBytes(const QByteArray& samples, const WaveForm& form = {});

enum class Pcm { U8, S16, S24, F32 };
// A sine on every channel, interleaved; amplitude may pass full scale for float data.
QByteArray toneSamples(int rate, int channels, double seconds, double frequency, double amplitude,
                       Pcm pcm = Pcm::S16);
// The WAV file of such a tone.
QByteArray toneWave(int rate, int channels, double seconds, double frequency, double amplitude,
                    Pcm pcm = Pcm::S16);
void writeToneWav(const QString& path, int rate, int channels, double seconds, double frequency,
                  double amplitude = 0.5);
// Runs the real lame on a tone WAV; returns the MP3 path.
QString makeToneMp3(const QString& folder, const QString& name, int rate, int channels,
                    double seconds, double frequency, double amplitude = 0.5);
// An encoder that tells who supervises it and its own number in the folder $ROW, then waits
// for a file `go` there before it encodes; once the folder is gone, it gives up.
extern const QString kGatedLame;
// Runs a program to its end; fails the test on a non-zero exit.
bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr);

// Decodes any file through the engine into interleaved 16-bit samples; empty when it cannot.
// Starts the engine for the call when it is not running.
QVector<qint16> decode(const QString& path, ChannelInfo* info = nullptr);

QByteArray readAll(const QString& path);
// A test's file as the pipeline takes it: its folder is opened once and held for the rest of
// the run. A folder that cannot be opened gives a file nothing can reach.
JobFile at(const QString& path);
void writeAll(const QString& path, const QByteArray& bytes);

// Processor time this process has used, user and system: what a busy machine does not stretch.
double cpuSeconds();

// Which rows were skipped, so that the executable can end with CTest's skip code.
void noteSkipped();
// QTest's result turned into the executable's: 77 when rows were skipped and none failed.
int finish(int failed);

} // namespace blendora::test

// QSKIP, named among the skipped rows at the end.
#define TEST_SKIP(why)                                                                             \
    do {                                                                                           \
        ::blendora::test::noteSkipped();                                                           \
        QSKIP(why);                                                                                \
    } while (false)
