#include "Decode.h"

#include "AppTitle.h"
#include "Failure.h"
#include "Form1View.h"
#include "JobFolder.h"
#include "Paths.h"
#include "Prompts.h"
#include "WorkSpace.h"

#include <utility>

namespace blendora {

namespace {
// How often the decoder looks at the free space left.
constexpr std::uint64_t kSpaceCheckBytes = 1 << 20;

void checkFreeSpace(const JobFile& wav, const QString& input) {
    needSpace(wav, 0, QStringLiteral("for the decoded audio of %1").arg(shownName(input)));
}

} // namespace

WaveFileInfo Decoder::DecodeMp3ToWav(const QString& input, const JobFile& wav) {
    // The last input's channel stays open until the next call, and no longer: a long session
    // must not gather open files.
    if (channel_ != 0)
        engine_.ChannelFree(std::exchange(channel_, 0));
    // The name's own bytes, as every other open has them: a name that is not UTF-8 keeps them.
    const QByteArray name = nativePath(input);
    // The engine opens regular files only, never a FIFO or a device, and says what else it was.
    EngineOpened opened = engine_.StreamCreateFile(0, name.constData(), 0, 0, kStreamDecode);
    // The music attempt sees the file last: its word on why stands.
    if (opened.handle == 0)
        opened = engine_.MusicLoad(0, name.constData(), 0, 0,
                                   kStreamDecode | kMusicPrescan | kMusicRampNormal, 0);
    tellUncheckedTypes();
    if (opened.handle == 0) {
        const QString told = QStringLiteral("Can't read the file...") + shownName(input);
        prompts_.message(told, appTitle());
        throw UnreadableInput(told, opened);
    }
    channel_ = opened.handle;

    info_ = ChannelInfo();
    if (!engine_.ChannelGetInfo(channel_, &info_))
        fail(QStringLiteral("The decoder gave no format for ") + shownName(input));
    StartWaveHeader();

    checkFreeSpace(wav, input);
    wav_.open(wav, File::Replace, 0600);
    try {
        const QByteArray header = pcmWaveHeader(format_, 0);
        wav_.append(header.constData(), header.size());
        // The header tells what was written, whatever the engine's count says.
        decodedBytes_ = WriteDecoded(input, wav);
        FinishWaveHeader();
    } catch (...) {
        wav_.discard();
        throw;
    }
    // The channel stays where the decode left it: nothing reads it again, and a module would
    // be rendered once more for nothing.
    return WaveFileInfo{format_.sampleRate, format_.bitsPerSample, format_.channels,
                        kWaveHeaderSize, std::int64_t(decodedBytes_)};
}

QString UnreadableInput::because() const {
    switch (refusal_.why) {
    case Refusal::None:
    case Refusal::NoKnownSound:
        break;
    case Refusal::Unopenable:
        return QStringLiteral("it could not be opened (%1)").arg(errnoText(refusal_.error));
    case Refusal::Folder:
        return QStringLiteral("it is a folder");
    case Refusal::NotAFile:
        return QStringLiteral("it is a pipe or a device, not a file");
    case Refusal::Empty:
        return QStringLiteral("it is empty");
    case Refusal::Changed:
        return QStringLiteral("it changed while it was being read");
    case Refusal::Picture:
        return QStringLiteral("it is a picture");
    case Refusal::Video:
        return QStringLiteral("it is a video");
    case Refusal::Program:
        return QStringLiteral("it is a program");
    case Refusal::Document:
        return QStringLiteral("it is a document");
    case Refusal::Font:
        return QStringLiteral("it is a font");
    case Refusal::Database:
        return QStringLiteral("it is a database");
    case Refusal::Archive:
        return QStringLiteral("it is an archive or a compressed file, and holds no music "
                              "Blendora knows");
    }
    return QStringLiteral("it holds no sound Blendora knows");
}

void Decoder::tellUncheckedTypes() {
    const std::string trouble = engine_.TypeCheckTrouble();
    if (trouble.empty() || std::exchange(typesTold_, true))
        return;
    prompts_.message(QStringLiteral("Blendora cannot tell what kind of file an input is: %1. A "
                                    "picture or a program with sound added after it is mixed as "
                                    "that sound.")
                         .arg(QString::fromStdString(trouble)),
                     appTitle());
}

void Decoder::StartWaveHeader() {
    // The engine gives 16-bit words whatever the file holds: its 8-bit flag is never asked for.
    format_ = pcmFormat(int(info_.freq), int(info_.chans));
}

std::uint64_t Decoder::WriteDecoded(const QString& input, const JobFile& wav) {
    std::uint64_t written = 0;
    while (engine_.ChannelIsActive(channel_) != 0) {
        const std::int32_t delivered =
            engine_.ChannelGetData(channel_, buffer_.data(), std::uint32_t(buffer_.size()));
        // The engine ends a file that came up short of its length at open with an error.
        if (delivered < 0)
            fail(QStringLiteral("%1 changed while it was being read (it is shorter now than "
                                "when it was opened), or could not be read to its end.")
                     .arg(shownName(input)));
        if (delivered > 0) {
            written += std::uint64_t(delivered);
            // A header that cannot declare the data would lie about it.
            if (written > kMaxWaveDataSize)
                failPlainly(QStringLiteral("%1 decodes to more than the 4 GiB that a WAV file "
                                           "can hold.")
                                .arg(shownName(input)));
            if (written % kSpaceCheckBytes < std::uint64_t(delivered))
                checkFreeSpace(wav, input);
            wav_.append(buffer_.data(), delivered);
        }
        DoEvents();
    }
    return written;
}

void Decoder::FinishWaveHeader() {
    // Only the two sizes differ from the header written first.
    const QByteArray header = pcmWaveHeader(format_, std::uint32_t(decodedBytes_));
    wav_.writeAt(4, header.constData() + 4, 4);
    wav_.writeAt(40, header.constData() + 40, 4);
    wav_.close();
}

} // namespace blendora
