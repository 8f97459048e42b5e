#pragma once

#include "FileSource.h"

#include <string>

namespace blendora::audio {

// What libmagic's signatures make of the start of a file, asked only to refuse.
enum class Signature {
    None,     // audio, plain data, a signature too short for chance not to make it, or unjudged
    NotAudio, // a picture, program, font, database, document or video container
    Archive,  // an archive or compressed file, which may hold a tracker module
};

Signature signatureOf(const FileSource& source);

// Why a file went unjudged (libmagic's database could not be loaded, or libmagic failed on it);
// empty while every file so far was judged.
std::string typeCheckTrouble();

} // namespace blendora::audio
