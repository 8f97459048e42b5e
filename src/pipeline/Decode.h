#pragma once

#include "EngineSeam.h"
#include "Failure.h"
#include "File.h"
#include "JobFolder.h"
#include "Wave.h"

#include <QString>
#include <array>

namespace blendora {

class Prompts;

// The input is no sound the engine knows; the person has been told which file it was. What the
// engine found it to be travels with it.
class UnreadableInput : public Condition {
  public:
    UnreadableInput(const QString& description, const EngineOpened& refusal)
        : Condition(description), refusal_(refusal) {}
    // Why, in the person's words: "it is a picture", "it is empty".
    QString because() const;

  private:
    EngineOpened refusal_;
};

// Turns one input into a PCM WAV file through the engine. Its working state lives as long as
// the window does and is reused by each call.
class Decoder {
  public:
    Decoder(EngineSeam& engine, Prompts& prompts) : engine_(engine), prompts_(prompts) {}

    // The format of the WAV file written, as its header declares it. Throws UnreadableInput
    // (after "Can't read the file...") when the engine can open the input neither as a stream
    // nor as music; any other failure throws as it comes.
    WaveFileInfo DecodeMp3ToWav(const QString& input, const JobFile& wav);

  private:
    // The header of the WAV the engine's format makes, its sizes left to FinishWaveHeader.
    void StartWaveHeader();
    // Everything the engine decodes, appended to the WAV; the count of bytes written.
    std::uint64_t WriteDecoded(const QString& input, const JobFile& wav);
    void FinishWaveHeader();
    // Once a run, that inputs go without libmagic's judgement of their type, and why.
    void tellUncheckedTypes();

    EngineSeam& engine_;
    Prompts& prompts_;
    EngineHandle channel_ = 0;
    bool typesTold_ = false;
    ChannelInfo info_;
    std::uint64_t decodedBytes_ = 0;
    std::array<char, 20000> buffer_{};
    WaveFormatChunk format_;
    File wav_;
};

} // namespace blendora
