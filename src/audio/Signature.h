#pragma once

#include "FileSource.h"

namespace blendora::audio {

// What libmagic's signatures make of the start of a file, asked only to refuse.
enum class Signature {
    None,     // audio, plain data, or a signature too short for chance not to make it
    NotAudio, // a picture, program, font, database, document or video container
    Archive,  // an archive or compressed file, which may hold a tracker module
};

Signature signatureOf(const FileSource& source);

} // namespace blendora::audio
