#pragma once

#include <QByteArray>
#include <QString>

namespace blendora {

class CommonDialog;
class Decoder;
class Form1View;
class Prompts;
struct JobFile;

// Lets the event loop run for the given time without keeping a processor busy.
void WaitSeconds(double seconds);

// Everything "Start Mixing" works with, owned by the window.
struct MixContext {
    Form1View& view;
    Prompts& prompts;
    CommonDialog& dialog;
    Decoder& decoder;
    bool& mixInProgress;
};

// Replaces the encoder's bytes that a job writes; empty bytes restore the embedded encoder.
void setEncoderProgramForTesting(const QByteArray& bytes);

// "Start Mixing": checks, the save dialog, decode both inputs, merge, encode, clean up.
void RunMixJob(MixContext& job);

} // namespace blendora
