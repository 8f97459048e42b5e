// Merges two WAV files the way the program does, without a window, for timing by hand or
// from bench_merge.sh. Reports go to stderr; the exit status is 1 when the merge failed.
//
//   bench_merge first.wav second.wav result.wav

#include "Failure.h"
#include "Merge.h"
#include "WaveFiles.h"

#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <fcntl.h>

using namespace blendora;

namespace {

class StderrPrompts : public Prompts {
  public:
    void message(const QString& text, const QString& caption) override { print(caption, text); }
    bool question(const QString& text, const QString& caption) override {
        print(caption, text);
        return false;
    }
    void warning(const QString& text, const QString& caption) override { print(caption, text); }
    void notice(const QString& text, const QString& caption) override { print(caption, text); }
    QString openFile(const FileDialogRequest&) override { return {}; }
    QString saveFile(const FileDialogRequest&) override { return {}; }

  private:
    static void print(const QString& caption, QString text) {
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
        std::fprintf(stderr, "[%s] %s\n", qPrintable(caption), qPrintable(text));
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s first.wav second.wav result.wav\n", argv[0]);
        return 2;
    }
    BarView view;
    StderrPrompts prompts;
    // Each file through its folder, held open, as a job's files are.
    const auto file = [](const char* path) {
        const QFileInfo info(QString::fromLocal8Bit(path));
        const int folder = ::open(QFile::encodeName(info.absolutePath()).constData(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return JobFile{folder, QFile::encodeName(info.fileName()), info.filePath(), false};
    };
    try {
        MergeWave(file(argv[1]), file(argv[2]), file(argv[3]), view, prompts);
    } catch (const Condition& c) {
        std::fprintf(stderr, "%s\n", c.what());
        return 1;
    }
    return 0;
}
