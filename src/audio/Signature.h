#pragma once

#include "AudioEngine.h"
#include "FileSource.h"

#include <string>

namespace blendora::audio {

// What libmagic's signatures make of the start of a file, asked only to refuse: None for audio,
// plain data, a signature too short for chance not to make it, or a file unjudged; else the
// kind of file it is (an archive may hold a tracker module).
Refusal signatureOf(const FileSource& source);

// Why a file went unjudged (libmagic's database could not be loaded, or libmagic failed on it);
// empty while every file so far was judged.
std::string typeCheckTrouble();

} // namespace blendora::audio
