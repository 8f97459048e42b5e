#include "Signature.h"

#include "Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <magic.h>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <utility>
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

// libmagic names an ID3v2 tag an audio file, and types it by what lies where the tag's size
// ends: a cover picture that its tagger did not count. The name is the file's; the type is not.
constexpr std::string_view kAudioNames[] = {
    "Audio file with ID3 version 2",
};

// Enough for every signature above, the tar header's included.
constexpr std::size_t kHead = 1 << 16;

bool startsWithOneOf(std::string_view text, const auto& list) {
    for (const std::string_view start : list)
        if (text.substr(0, start.size()) == start)
            return true;
    return false;
}

struct Magic {
    std::mutex lock;
    magic_t cookie = nullptr;
    std::unique_ptr<char[]> database; // libmagic reads its entries here, without a copy
    bool tried = false;
    std::string trouble;
};

// The compiled database, by name (libmagic's own search would follow the MAGIC variable), and
// read by us: libmagic's own load, where it cannot map the file (a memory limit), reads it
// again as text and prints a warning a line on stderr.
void load(Magic& m) {
    const std::string why =
        "libmagic's database " + std::string(BLENDORA_MAGIC_DATABASE) + " could not be loaded (";
    UniqueFd fd(::open(BLENDORA_MAGIC_DATABASE, O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        m.trouble = why + std::strerror(errno) + ")";
        return;
    }
    std::size_t size = std::size_t(st.st_size);
    m.database.reset(new (std::nothrow) char[size]);
    void* bytes = m.database.get();
    const int error = !bytes ? ENOMEM : readAll(fd.get(), bytes, size, 0) < 0 ? errno : 0;
    if (error != 0) {
        m.trouble = why + std::strerror(error) + ")";
        return;
    }
    m.cookie = magic_open(MAGIC_NONE);
    if (!m.cookie || magic_load_buffers(m.cookie, &bytes, &size, 1) != 0) {
        m.trouble = why + (m.cookie ? magic_error(m.cookie) : std::strerror(errno)) + ")";
        if (m.cookie)
            magic_close(std::exchange(m.cookie, nullptr));
    }
}

Signature judge(std::string_view type, std::string_view name) {
    if (startsWithOneOf(name, kAudioNames))
        return Signature::None;
    if (startsWithOneOf(type, kNotAudio) || startsWithOneOf(name, kNotAudioNames))
        return Signature::NotAudio;
    return startsWithOneOf(type, kArchives) ? Signature::Archive : Signature::None;
}

Magic& magic() {
    static Magic m;
    return m;
}

} // namespace

Signature signatureOf(const FileSource& source) {
    std::vector<unsigned char> head(std::min<std::uint64_t>(source.size(), kHead));
    head.resize(source.readAt(0, head.data(), head.size()));
    if (head.empty())
        return Signature::None;
    Magic& m = magic();
    std::lock_guard guard(m.lock);
    if (!std::exchange(m.tried, true))
        load(m);
    if (!m.cookie)
        return Signature::None;
    // The bytes held, never the name: it may name another file by now. Nothing is unpacked, and
    // no text or encoding is judged.
    constexpr int kChecks = MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_ENCODING |
                            MAGIC_NO_CHECK_TEXT | MAGIC_NO_CHECK_JSON | MAGIC_NO_CHECK_CSV |
                            MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_APPTYPE;
    std::string said[2];
    for (const int flags : {kChecks | MAGIC_MIME_TYPE, kChecks}) {
        magic_setflags(m.cookie, flags);
        const char* text = magic_buffer(m.cookie, head.data(), head.size());
        if (!text) {
            // Out of memory, most likely: this file goes unjudged, and the person hears of it.
            const char* error = magic_error(m.cookie);
            m.trouble =
                std::string("libmagic failed (") + (error ? error : "no reason given") + ")";
            return Signature::None;
        }
        said[flags == kChecks] = text;
    }
    return judge(said[0], said[1]);
}

std::string typeCheckTrouble() {
    Magic& m = magic();
    std::lock_guard guard(m.lock);
    return m.trouble;
}

} // namespace blendora::audio
