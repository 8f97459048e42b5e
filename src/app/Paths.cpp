#include "Paths.h"

#include <QCoreApplication>
#include <QFile>
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
