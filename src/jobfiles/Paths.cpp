#include "Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QUrl>
#include <atomic>
#include <sys/stat.h>

namespace blendora {

namespace {
QString& programFolderOverride() {
    static QString folder;
    return folder;
}
} // namespace

QString programFolder() {
    const QString& fake = programFolderOverride();
    return fake.isEmpty() ? QCoreApplication::applicationDirPath() : fake;
}

void setProgramFolderForTesting(const QString& folder) {
    programFolderOverride() = folder;
}

namespace {

// Lone low surrogates U+DC80..U+DCFF stand for the bytes of a name that are not UTF-8, which
// the toolkit would turn into U+FFFD for good.
constexpr char16_t kByteEscape = 0xDC00;
bool escapedByte(const QString& text, qsizetype i) {
    const char16_t u = text[i].unicode();
    return u >= kByteEscape + 0x80 && u <= kByteEscape + 0xFF &&
           (i == 0 || !text[i - 1].isHighSurrogate());
}

// UTF-8 as the file system has it, each byte outside a whole sequence kept as its escape.
QString decodedName(const QByteArray& bytes) {
    if (const QString text = QString::fromUtf8(bytes); text.toUtf8() == bytes)
        return text;
    QString out;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0, n = bytes.size(); i < n;) {
        const unsigned b = p[i];
        const int length = b < 0x80   ? 1
                           : b < 0xC2 ? 0
                           : b < 0xE0 ? 2
                           : b < 0xF0 ? 3
                           : b < 0xF5 ? 4
                                      : 0;
        char32_t c = length == 1 ? b : b & (0xFF >> (length + 1));
        bool whole = length > 0 && i + length <= n;
        for (int k = 1; whole && k < length; ++k) {
            whole = (p[i + k] & 0xC0) == 0x80;
            c = (c << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points past U+10FFFF are no UTF-8.
        whole = whole && !(length == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) &&
                !(length == 4 && (c < 0x10000 || c > 0x10FFFF));
        if (whole)
            out.append(QStringView(QChar::fromUcs4(c)));
        else
            out.append(QChar(char16_t(kByteEscape + b)));
        i += whole ? length : 1;
    }
    return out;
}

} // namespace

QByteArray nativePath(const QString& path) {
    QByteArray out;
    qsizetype from = 0;
    for (qsizetype i = 0; i < path.size(); ++i)
        if (escapedByte(path, i)) {
            out += QFile::encodeName(path.mid(from, i - from));
            out += char(path[i].unicode() - kByteEscape);
            from = i + 1;
        }
    return from == 0 ? QFile::encodeName(path) : out + QFile::encodeName(path.mid(from));
}

QString nameFromArgument(const char* argument) {
    const QString name = decodedName(argument);
    if (QUrl(name).isLocalFile())
        return QUrl(name).toLocalFile();
    // QFileInfo would give up the bytes that are not UTF-8.
    return QDir::cleanPath(
        name.startsWith(QLatin1Char('/')) ? name : QDir::currentPath() + QLatin1Char('/') + name);
}

namespace {
QString visible(const QString& text, bool keepLineBreaks) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (escapedByte(text, i)) {
            out += QStringLiteral("\\x") + QString::number(c - kByteEscape, 16).toUpper();
            continue;
        }
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (keepLineBreaks && (c == '\n' || c == '\r')) {
            out += QChar(c);
            continue;
        }
        switch (c) {
        case '\n':
            out += QStringLiteral("\\n");
            continue;
        case '\r':
            out += QStringLiteral("\\r");
            continue;
        case '\t':
            out += QStringLiteral("\\t");
            continue;
        }
        switch (QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format: // bidirectional controls, zero-width characters
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            out += QStringLiteral("<U+%1>").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
            break;
        default:
            out.append(QStringView(QChar::fromUcs4(c)));
        }
    }
    return out;
}
} // namespace

QString shownName(const QString& name) {
    return visible(name, false);
}

QString shownText(const QString& text) {
    return visible(text, true);
}

namespace {
std::atomic<int> recordedUmask{-1};
}

void recordUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    recordedUmask = int(mask);
}

unsigned processUmask() {
    if (const int mask = recordedUmask; mask >= 0)
        return unsigned(mask);
    // Not recorded (a test's own main): the kernel tells it without a change.
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const unsigned mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok)
                    return mask;
            }
    return 022;
}

bool FileIsPresent(const QString& path) {
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    struct stat st;
    return ::stat(nativePath(path).constData(), &st) == 0;
}

QString temporaryFolder() {
    for (const char* name : {"TEMP", "TMPDIR"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            return QFile::decodeName(value);
    }
    return QStringLiteral("/tmp");
}

} // namespace blendora
