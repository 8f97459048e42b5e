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

struct Kind {
    std::string_view start;
    Refusal kind;
};

// Only types whose signatures run to several fixed bytes: random data is named a DOS program,
// zlib data, a BIOS logo, a fax or a PostScript file now and then, so those never count.
constexpr Kind kNotAudio[] = {
    {"image/png", Refusal::Picture},
    {"image/jpeg", Refusal::Picture},
    {"image/gif", Refusal::Picture},
    {"image/webp", Refusal::Picture},
    {"image/bmp", Refusal::Picture},
    {"image/x-ms-bmp", Refusal::Picture},
    {"image/tiff", Refusal::Picture},
    {"image/x-portable-pixmap", Refusal::Picture},
    {"image/x-portable-graymap", Refusal::Picture},
    {"image/x-portable-bitmap", Refusal::Picture},
    {"image/x-portable-arbitrarymap", Refusal::Picture},
    {"image/x-miff", Refusal::Picture},
    {"image/x-xwindowdump", Refusal::Picture},
    {"image/x-pcx", Refusal::Picture},
    {"image/vnd.adobe.photoshop", Refusal::Picture},
    {"image/x-xcf", Refusal::Picture},
    {"image/heic", Refusal::Picture},
    {"image/avif", Refusal::Picture},
    // MPEG program streams interleave their audio with packs and video: read as one stream,
    // the sound would have holes.
    {"video/mpeg", Refusal::Video},
    {"video/mp2t", Refusal::Video},
    {"video/x-msvideo", Refusal::Video},
    {"application/x-executable", Refusal::Program},
    {"application/x-sharedlib", Refusal::Program},
    {"application/x-pie-executable", Refusal::Program},
    {"application/x-coredump", Refusal::Program},
    {"application/x-mach-binary", Refusal::Program},
    {"application/x-java-applet", Refusal::Program},
    {"application/vnd.sqlite3", Refusal::Database},
    {"application/x-sqlite3", Refusal::Database},
    {"application/pdf", Refusal::Document},
    {"application/x-ole-storage", Refusal::Document},
    {"application/msword", Refusal::Document},
    {"application/vnd.ms-excel", Refusal::Document},
    {"application/vnd.ms-powerpoint", Refusal::Document},
    {"application/epub+zip", Refusal::Document},
    {"application/vnd.openxmlformats-officedocument.", Refusal::Document},
    {"application/vnd.oasis.opendocument.", Refusal::Document},
    {"font/", Refusal::Font},
    {"application/vnd.ms-fontobject", Refusal::Font},
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
// What libmagic names without giving a type.
constexpr Kind kNotAudioNames[] = {
    {"ELF ", Refusal::Program}, // objects too, whose type random data is also given
    {"Microsoft DirectDraw Surface", Refusal::Picture},
    {"SGI image data", Refusal::Picture},
    {"Sun raster image data", Refusal::Picture},
};

// libmagic names an ID3v2 tag an audio file, and types it by what lies where the tag's size
// ends: a cover picture that its tagger did not count. The name is the file's; the type is not.
constexpr std::string_view kAudioNames[] = {
    "Audio file with ID3 version 2",
};

// Enough for every signature above, the tar header's included.
constexpr std::size_t kHead = 1 << 16;

bool startsWith(std::string_view text, std::string_view start) {
    return text.substr(0, start.size()) == start;
}

bool startsWithOneOf(std::string_view text, const auto& list) {
    return std::any_of(std::begin(list), std::end(list),
                       [&](std::string_view start) { return startsWith(text, start); });
}

Refusal kindOf(std::string_view text, const auto& list) {
    for (const Kind& k : list)
        if (startsWith(text, k.start))
            return k.kind;
    return Refusal::None;
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

Refusal judge(std::string_view type, std::string_view name) {
    if (startsWithOneOf(name, kAudioNames))
        return Refusal::None;
    if (const Refusal kind = kindOf(type, kNotAudio); kind != Refusal::None)
        return kind;
    if (const Refusal kind = kindOf(name, kNotAudioNames); kind != Refusal::None)
        return kind;
    return startsWithOneOf(type, kArchives) ? Refusal::Archive : Refusal::None;
}

Magic& magic() {
    static Magic m;
    return m;
}

} // namespace

Refusal signatureOf(const FileSource& source) {
    std::vector<unsigned char> head(std::min<std::uint64_t>(source.size(), kHead));
    head.resize(source.readAt(0, head.data(), head.size()));
    if (head.empty())
        return Refusal::None;
    Magic& m = magic();
    std::lock_guard guard(m.lock);
    if (!std::exchange(m.tried, true))
        load(m);
    if (!m.cookie)
        return Refusal::None;
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
            return Refusal::None;
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
