#include "Paths.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
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

QByteArray nativePath(const QString& path) {
    return QFile::encodeName(path);
}

QString nameFromArgument(const char* argument) {
    const QString name = QString::fromLocal8Bit(argument);
    return QUrl(name).isLocalFile() ? QUrl(name).toLocalFile() : QFileInfo(name).absoluteFilePath();
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
