// libFuzzer target: any bytes as two WAV files (the first two bytes say where to split),
// read by the header reader and mixed by the merge. Besides crashes it traps on an output
// that is shorter than the blocks the merge writes.

#include "BarView.h"
#include "Failure.h"
#include "Form1View.h"
#include "Merge.h"
#include "Prompts.h"
#include "Wave.h"
#include "WaveFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>

using namespace blendora;

namespace {

struct NoPrompts : Prompts {
    void message(const QString&, const QString&) override {}
    bool question(const QString&, const QString&) override { return false; }
    void warning(const QString&, const QString&) override {}
    void notice(const QString&, const QString&) override {}
    QString openFile(const FileDialogRequest&) override { return {}; }
    QString saveFile(const FileDialogRequest&) override { return {}; }
};

// Inputs large enough to mean hours of audio are cut: the fuzzer looks for faults, not time.
constexpr std::uint32_t kMaxDeclared = 1 << 22;

QByteArray capped(QByteArray wav) {
    for (qsizetype at = wav.indexOf("data"); at >= 0 && at + 8 <= wav.size(); at = -1) {
        std::uint32_t size;
        memcpy(&size, wav.constData() + at + 4, 4);
        if (size > kMaxDeclared) {
            size = kMaxDeclared;
            memcpy(wav.data() + at + 4, &size, 4);
        }
    }
    return wav;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_merge";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir dir;
    if (size < 2)
        return 0;
    const std::size_t split = std::min<std::size_t>((data[0] | data[1] << 8), size - 2);
    const QByteArray first = capped(QByteArray(reinterpret_cast<const char*>(data + 2), split));
    const QByteArray second =
        capped(QByteArray(reinterpret_cast<const char*>(data + 2 + split), size - 2 - split));
    const QString a = dir.filePath("a.wav"), b = dir.filePath("b.wav"),
                  out = dir.filePath("out.wav");
    for (const auto& [path, bytes] : {std::pair{a, first}, {b, second}}) {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
            std::abort();
    }
    QFile::remove(out);
    NoPrompts prompts;
    test::BarView bar;
    static const int folder =
        ::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY);
    const auto file = [&](const char* name, const QString& path) {
        return JobFile{folder, name, path, false};
    };
    ReadWaveHeader(file("a.wav", a), prompts);
    try {
        MergeWave(file("a.wav", a), file("b.wav", b), file("out.wav", out), bar, prompts);
    } catch (const Condition&) {
        return 0; // told that the two could not be mixed
    }
    const WaveFileInfo info = ReadWaveHeader(file("out.wav", out), prompts);
    if (QFileInfo(out).size() < info.dataOffset + info.dataSize)
        __builtin_trap();
    return 0;
}
