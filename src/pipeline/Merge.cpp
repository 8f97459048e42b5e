#include "Merge.h"

#include "Descriptor.h"
#include "ErrorReport.h"
#include "Failure.h"
#include "File.h"
#include "JobFolder.h"
#include "Wave.h"
#include "WaveConvert.h"
#include "WorkSpace.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <vector>

namespace blendora {

// Sample words go between file and memory as they are.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::int64_t kBlockBytes = 512;
constexpr std::int64_t kBlockWords = kBlockBytes / 2;
// Blocks moved per read and write: large calls, yet memory that does not grow with the input.
constexpr std::int64_t kChunkBlocks = 2048;
constexpr std::size_t kChunkWords = std::size_t(kChunkBlocks * kBlockWords);

bool progressPercent(std::int64_t current, std::int64_t total, int& percent) {
    if (total == 0 || current > INT64_MAX / 100 || current < INT64_MIN / 100)
        return false;
    const std::int64_t value = current * 100 / total;
    if (value < INT_MIN || value > INT_MAX)
        return false;
    percent = int(value);
    return true;
}

bool sameFile(const File& file, const JobFile& other) {
    return namesHeld(other.folder, other.name.constData(), file.fd());
}

void copyRange(const File& from, File& to, std::int64_t offset, std::int64_t length) {
    std::vector<char> buffer(std::size_t(std::min<std::int64_t>(length, 1 << 20)));
    for (std::int64_t done = 0; done < length;) {
        const std::int64_t n = std::min<std::int64_t>(std::int64_t(buffer.size()), length - done);
        from.readAt(offset + done, buffer.data(), n);
        to.writeAt(offset + done, buffer.data(), n);
        done += n;
    }
}

// The output as a copy of `source`, except the block area that the mix overwrites anyway:
// the bytes come out the same, for a fraction of the work.
void copyWave(const JobFile& source, std::int64_t length, const JobFile& output,
              const WaveFileInfo& info, std::int64_t blocks) {
    File from;
    from.open(source, File::Read);
    from.mustHold(length);
    if (sameFile(from, output))
        return;
    File to;
    to.open(output, File::Replace);
    const std::int64_t blocksStart = info.dataOffset;
    const std::int64_t blocksEnd = info.dataOffset + blocks * kBlockBytes;
    copyRange(from, to, 0, std::min(length, blocksStart));
    if (length > blocksEnd)
        copyRange(from, to, blocksEnd, length - blocksEnd);
    to.close();
}

// The words of `blocks` blocks from `position` on; a word at or past the data size is 0.
void readBlocks(const File& file, const WaveFileInfo& info, std::int64_t position,
                std::int64_t blocks, std::vector<std::int16_t>& words) {
    const std::int64_t bytes = blocks * kBlockBytes;
    if (std::int64_t(words.size()) * 2 < bytes)
        throw std::bad_alloc();
    // The last word of an odd size still takes its second byte from the file.
    const std::int64_t dataEnd = info.dataSize + (info.dataSize & 1);
    const std::int64_t wanted = std::clamp<std::int64_t>(dataEnd - position, 0, bytes);
    if (wanted > 0)
        file.readAt(info.dataOffset + position, words.data(), wanted);
    std::memset(reinterpret_cast<char*>(words.data()) + wanted, 0, std::size_t(bytes - wanted));
}

// Removes the converted inputs whichever way the merge ends.
struct TemporaryFiles {
    std::vector<JobFile> files;
    ~TemporaryFiles() {
        for (const JobFile& file : files)
            removeFile(file);
    }
};

// The input the output is a copy of: the one with more sample bytes, the first on a tie.
int longerOf(const WaveFileInfo& first, const WaveFileInfo& second) {
    return first.dataSize >= second.dataSize ? 0 : 1;
}

// Blocks to one past the end of the data: the last one always reaches beyond it.
std::int64_t blockCount(const WaveFileInfo& info) {
    return info.dataSize / kBlockBytes + 1;
}

std::int64_t mebibytesUp(std::int64_t bytes) {
    return (bytes + (1 << 20) - 1) >> 20;
}

// "6 h 45 min 49 s" of sound of `bytes` in `format`.
QString playingTime(std::int64_t bytes, WaveFormat format) {
    const std::int64_t seconds = bytes / (std::int64_t(format.sampleRate) * format.channels * 2);
    const std::int64_t h = seconds / 3600, min = seconds / 60 % 60, s = seconds % 60;
    if (h > 0)
        return QStringLiteral("%1 h %2 min %3 s").arg(h).arg(min).arg(s);
    if (min > 0)
        return QStringLiteral("%1 min %2 s").arg(min).arg(s);
    return QStringLiteral("%1 s").arg(s);
}

const QString kOrdinal[2] = {QStringLiteral("first"), QStringLiteral("second")};

const QString kNotMixed = QStringLiteral("The two files could not be mixed.");

} // namespace

MergePlan PlanMerge(const MergeInput& first, const MergeInput& second) {
    MergePlan plan;
    plan.input[0] = first;
    plan.input[1] = second;
    plan.common = commonFormat(first.info, second.info);
    // Each input as the mix will read it: a converted copy in place of one of another format.
    MergeInput mixed[2] = {first, second};
    for (int k = 0; k < 2; ++k) {
        const WaveFormat format = mixableFormat(mixed[k].info);
        if (format.channels == 0 || format == plan.common)
            continue;
        plan.convert[k] = true;
        plan.converted[k] = ConvertedDataSize(mixed[k].info, mixed[k].fileSize, plan.common);
        mixed[k].info = WaveFileInfo{plan.common.sampleRate, 16, std::int16_t(plan.common.channels),
                                     kWaveHeaderSize, plan.converted[k]};
        mixed[k].fileSize = kWaveHeaderSize + plan.converted[k];
    }
    plan.longer = longerOf(mixed[0].info, mixed[1].info);
    // A copy of the longer one, and the blocks of the mix over it to one past the end.
    const MergeInput& longer = mixed[plan.longer];
    plan.output =
        std::max(longer.fileSize, longer.info.dataOffset + blockCount(longer.info) * kBlockBytes);
    return plan;
}

void RefuseMergeThatWouldNotFit(const MergePlan& plan, const JobFile& output) {
    const WaveFormat format = plan.common;
    for (int k = 0; k < 2; ++k)
        if (plan.converted[k] > std::int64_t(kMaxWaveDataSize))
            failPlainly(QStringLiteral("The %1 file is too long to be mixed with the %2 one: "
                                       "brought to %3, it would need %4 MiB of sound (%5), and a "
                                       "WAV file holds at most %6 MiB (%7 at that rate).")
                            .arg(kOrdinal[k], kOrdinal[1 - k], formatName(format))
                            .arg(mebibytesUp(plan.converted[k]))
                            .arg(playingTime(plan.converted[k], format))
                            .arg(std::int64_t(kMaxWaveDataSize) >> 20)
                            .arg(playingTime(std::int64_t(kMaxWaveDataSize), format)));

    std::int64_t needed = plan.output;
    QStringList work;
    for (int k = 0; k < 2; ++k)
        if (plan.converted[k] > 0) {
            needed += kWaveHeaderSize + plan.converted[k];
            work << QStringLiteral("bringing the %1 file to %2")
                        .arg(kOrdinal[k], formatName(format));
        }
    work << QStringLiteral("mixing");
    // Words of their own, which name each piece of the work.
    const std::int64_t free = shortOfSpace(output, needed);
    if (free >= 0)
        failPlainly(
            QStringLiteral("There is not enough free space in %1 to mix the two files: %2 "
                           "takes %3 MiB, and %4 MiB must stay free, but only %5 MiB are "
                           "free.")
                .arg(chosenWorkFolder(output.folderPath()), work.join(QStringLiteral(" and ")))
                .arg(mebibytesUp(needed))
                .arg(kSpareSpace >> 20)
                .arg(free >> 20) +
            kOtherWorkFolder);
}

void ShowMergeProgress(std::int64_t current, std::int64_t total, Form1View& view) {
    int percent = 0;
    if (!progressPercent(current, total, percent))
        return;
    try {
        view.setProgressValue(percent);
    } catch (const Failure&) {
        // A value the bar refuses leaves it as it was.
    }
}

namespace {

// Each word of the mix is half of each input's.
void mixHalves(const std::vector<std::int16_t>& words0, const std::vector<std::int16_t>& words1,
               std::vector<std::int16_t>& mixed, std::int64_t blocks) {
    const std::size_t n = std::size_t(blocks * kBlockWords);
    if (mixed.size() < n || words0.size() < n || words1.size() < n)
        throw std::bad_alloc();
    const std::int16_t* a = words0.data();
    const std::int16_t* b = words1.data();
    std::int16_t* m = mixed.data();
    for (std::size_t i = 0; i < n; ++i)
        m[i] = std::int16_t(a[i] / 2 + b[i] / 2);
}

// The bar sees what it would after each block; a value it already shows changes nothing.
void showBlocks(std::int64_t position, std::int64_t blocks, std::int64_t total, Form1View& view,
                int& bar) {
    for (std::int64_t j = 1; j <= blocks; ++j) {
        const std::int64_t p = position + j * kBlockBytes;
        int percent = 0;
        if (progressPercent(p, total, percent) && percent != bar) {
            ShowMergeProgress(p, total, view);
            bar = view.progressValue();
        }
    }
}

// The merge's numbered statements. A fault is reported under its number and the merge goes on
// with its next statement; a condition of the machine (a full disk) is no fault of ours and
// ends the merge at once, to be told once by whoever asked for it.
class Statements {
  public:
    explicit Statements(Prompts& prompts) : trap_(prompts, proc::MergeWave) {}

    template <class F> bool at(int line, F&& statement) {
        std::exception_ptr condition;
        const bool ran = trap_.at(line, [&] {
            try {
                statement();
            } catch (const Condition&) {
                condition = std::current_exception();
            }
        });
        if (condition)
            std::rethrow_exception(condition);
        return ran;
    }

  private:
    Trap trap_;
};

// Mixed word by word, inputs of different rates or channel counts would play at the wrong
// speed: those the plan names are brought to its format first. False when a conversion failed.
bool bringToOneFormat(Statements& run, const MergePlan& plan, WaveFileInfo (&info)[2],
                      JobFile (&path)[2], const JobFile& output, TemporaryFiles& converted,
                      Form1View& view) {
    for (int k = 0; k < 2; ++k) {
        if (!plan.convert[k])
            continue;
        const JobFile temporary =
            output.withSuffix(k == 0 ? QStringLiteral(".conv1.wav") : QStringLiteral(".conv2.wav"));
        converted.files.push_back(temporary);
        // Reported under the statement that read this input.
        if (!run.at(k == 0 ? 106 : 108, [&] {
                info[k] = ConvertWave(path[k], info[k], plan.input[k].fileSize, plan.common,
                                      plan.converted[k], temporary, view);
                path[k] = temporary;
            }))
            return false;
    }
    return true;
}

// The chunk buffers of the two inputs and the mix.
struct MixWords {
    std::vector<std::int16_t> words0, words1, mixed;
};

// The mix over the copy of the longer input, chunk by chunk. A step that fails for one chunk
// would fail for every block after it: it is reported once, and the mix stops.
bool mixBlocks(Statements& run, std::array<const File*, 2> in, const WaveFileInfo (&info)[2],
               File& out, const WaveFileInfo& target, MixWords& w, Form1View& view) {
    const std::int64_t blocks = blockCount(target);
    int bar = view.progressValue();
    for (std::int64_t block = 0; block < blocks;) {
        const std::int64_t count = std::min(kChunkBlocks, blocks - block);
        const std::int64_t position = block * kBlockBytes;
        if (!run.at(126, [&] { readBlocks(*in[0], info[0], position, count, w.words0); }) ||
            !run.at(128, [&] { readBlocks(*in[1], info[1], position, count, w.words1); }))
            return false;
        if (!run.at(132, [&] { mixHalves(w.words0, w.words1, w.mixed, count); }))
            return false;
        showBlocks(position, count, target.dataSize, view, bar);

        if (!run.at(142, [&] {
                out.writeAt(target.dataOffset + position, w.mixed.data(), count * kBlockBytes);
            }))
            return false;
        block += count;
    }
    return true;
}

} // namespace

struct stat MergeWave(const MergePlan& plan, const JobFile& first, const JobFile& second,
                      const JobFile& output, Form1View& view, Prompts& prompts) {
    Statements run(prompts);
    MixWords words;
    run.at(100, [&] { words.words0.resize(kChunkWords); });
    run.at(102, [&] { words.words1.resize(kChunkWords); });
    run.at(104, [&] { words.mixed.resize(kChunkWords); });

    // The headers were read, or the formats told by the decoder, when the plan was made.
    WaveFileInfo info[2] = {plan.input[0].info, plan.input[1].info};
    JobFile path[2] = {first, second};
    TemporaryFiles converted;
    if (!bringToOneFormat(run, plan, info, path, output, converted, view))
        failPlainly(kNotMixed);

    // Each input is as long as the decoder or the conversion wrote it; a file cut since then is
    // caught by the read that comes up short, not mixed as silence.
    std::int64_t length[2];
    for (int k = 0; k < 2; ++k)
        length[k] =
            plan.convert[k] ? info[k].dataOffset + info[k].dataSize : plan.input[k].fileSize;
    // A conversion may write a frame less than planned: which input is longer is judged again
    // from what was written.
    const int longer = longerOf(info[0], info[1]);
    const WaveFileInfo target = info[longer];
    const bool copied = run.at(longer == 0 ? 114 : 118, [&] {
        copyWave(path[longer], length[longer], output, target, blockCount(target));
    });

    File in0, in1, out;
    run.at(120, [&] {
        in0.open(path[0], File::Read);
        in0.mustHold(length[0]);
    });
    run.at(122, [&] {
        in1.open(path[1], File::Read);
        in1.mustHold(length[1]);
    });
    const bool opened = run.at(124, [&] { out.open(output, File::ReadWrite); });

    const bool written = mixBlocks(run, {&in0, &in1}, info, out, target, words, view);

    run.at(146, [&] { view.setProgressValue(100); });
    run.at(148, [&] { in0.close(); });
    run.at(150, [&] { in1.close(); });
    struct stat made {};
    const bool closed = run.at(152, [&] {
        if (out.isOpen())
            made = out.state();
        out.close();
    });
    if (!(copied && opened && written && closed))
        failPlainly(kNotMixed);
    return made;
}

} // namespace blendora
