#include "Signature.h"

#include <algorithm>
#include <magic.h>
#include <mutex>
#include <string_view>
#include <vector>

namespace blendora::audio {

namespace {

// Only types whose signatures run to several fixed bytes: random data is named a DOS program,
// zlib data, a BIOS logo, a fax or a PostScript file now and then, so those never count.
constexpr std::string_view kNotAudio[] = {
    "image/png",
    "image/jpeg",
    "image/gif",
    "image/webp",
    "image/bmp",
    "image/x-ms-bmp",
    "image/tiff",
    "image/x-portable-pixmap",
    "image/x-portable-graymap",
    "image/x-portable-bitmap",
    "image/x-portable-arbitrarymap",
    "image/x-miff",
    "image/x-xwindowdump",
    "image/x-pcx",
    "image/vnd.adobe.photoshop",
    "image/x-xcf",
    "image/heic",
    "image/avif",
    // MPEG program streams interleave their audio with packs and video: read as one stream,
    // the sound would have holes.
    "video/mpeg",
    "video/mp2t",
    "video/x-msvideo",
    "application/x-executable",
    "application/x-sharedlib",
    "application/x-pie-executable",
    "application/x-coredump",
    "application/x-mach-binary",
    "application/x-java-applet",
    "application/vnd.sqlite3",
    "application/x-sqlite3",
    "application/pdf",
    "application/x-ole-storage",
    "application/msword",
    "application/vnd.ms-excel",
    "application/vnd.ms-powerpoint",
    "application/epub+zip",
    "application/vnd.openxmlformats-officedocument.",
    "application/vnd.oasis.opendocument.",
    "font/",
    "application/vnd.ms-fontobject",
};
constexpr std::string_view kArchives[] = {
    "application/zip",
    "application/gzip",
    "application/x-xz",
    "application/x-bzip2",
    "application/zstd",
    "application/x-7z-compressed",
    "application/x-rar",
    "application/vnd.rar",
    "application/x-tar",
    "application/x-gtar",
    "application/x-archive",
    "application/x-lzip",
    "application/vnd.debian.binary-package",
    "application/x-rpm",
    "application/x-iso9660-image",
};
// Pictures that libmagic names without giving a type.
constexpr std::string_view kNotAudioNames[] = {
    "ELF ", // objects too, whose type random data is also given
    "Microsoft DirectDraw Surface",
    "SGI image data",
    "Sun raster image data",
};

// Enough for every signature above, the tar header's included.
constexpr std::size_t kHead = 1 << 16;

bool startsWithOneOf(std::string_view text, const auto& list) {
    for (const std::string_view start : list)
        if (text.substr(0, start.size()) == start)
            return true;
    return false;
}

} // namespace

Signature signatureOf(const FileSource& source) {
    // Loaded once, by name; libmagic's own search would follow the MAGIC variable.
    static std::mutex lock;
    static magic_t cookie = [] {
        magic_t m = magic_open(MAGIC_NONE);
        if (m && magic_load(m, BLENDORA_MAGIC_DATABASE) != 0) {
            magic_close(m);
            m = nullptr;
        }
        return m;
    }();
    if (!cookie)
        return Signature::None;
    std::vector<unsigned char> head(std::min<std::uint64_t>(source.size(), kHead));
    head.resize(source.readAt(0, head.data(), head.size()));
    if (head.empty())
        return Signature::None;
    // The bytes held, never the name: it may name another file by now. Nothing is unpacked, and
    // no text or encoding is judged.
    constexpr int kChecks = MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_ENCODING |
                            MAGIC_NO_CHECK_TEXT | MAGIC_NO_CHECK_JSON | MAGIC_NO_CHECK_CSV |
                            MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_APPTYPE;
    std::lock_guard guard(lock);
    magic_setflags(cookie, kChecks | MAGIC_MIME_TYPE);
    const char* type = magic_buffer(cookie, head.data(), head.size());
    if (type && startsWithOneOf(type, kNotAudio))
        return Signature::NotAudio;
    if (type && startsWithOneOf(type, kArchives))
        return Signature::Archive;
    magic_setflags(cookie, kChecks);
    const char* name = magic_buffer(cookie, head.data(), head.size());
    return name && startsWithOneOf(name, kNotAudioNames) ? Signature::NotAudio : Signature::None;
}

} // namespace blendora::audio
