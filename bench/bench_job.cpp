// Runs one whole mix job headless, as "Start Mixing" does: bench_job first.mp3 second.mp3 out.mp3
#include "Form1.h"

#include <QApplication>
#include <QLineEdit>
#include <cstdio>

namespace {

// Answers the save dialog with the given path and prints every message.
class BenchPrompts : public blendora::Prompts {
  public:
    explicit BenchPrompts(QString output) : output_(std::move(output)) {}
    void message(const QString& text, const QString&) override { print(text); }
    bool question(const QString& text, const QString&) override {
        print(text);
        return false;
    }
    void warning(const QString& text, const QString&) override { print(text); }
    QString openFile(const blendora::FileDialogRequest&) override { return QString(); }
    QString saveFile(const blendora::FileDialogRequest&) override { return output_; }
    QString last;

  private:
    void print(const QString& text) {
        last = text;
        std::fprintf(stderr, "%s\n", qPrintable(QString(text).replace('\r', '\n')));
    }
    QString output_;
};

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_job first.mp3 second.mp3 out.mp3\n");
        return 2;
    }
    BenchPrompts prompts(QString::fromLocal8Bit(argv[3]));
    blendora::Form1 form(
        blendora::Form1Seams{&prompts, nullptr, nullptr, [] { return 0.5; }, [] {}});
    if (!form.Form_Load())
        return 1;
    form.Text1->setText(QString::fromLocal8Bit(argv[1]));
    form.Text2->setText(QString::fromLocal8Bit(argv[2]));
    form.PushButton2_Click();
    form.Form_QueryUnload();
    return prompts.last == QStringLiteral("Done.") ? 0 : 1;
}
