#include "Failure.h"

#include "Paths.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace blendora {

QString errnoText(int error, const QString& subject) {
    const QString text = QString::fromLocal8Bit(std::strerror(error));
    return subject.isEmpty() ? text : shownName(subject) + QStringLiteral(": ") + text;
}

void failErrno(int error, const QString& subject) {
    if (error == ENOSPC || error == EDQUOT)
        failPlainly(errnoText(error, subject));
    fail(errnoText(error, subject));
}

QString describe(const std::exception& e) {
    return QString::fromUtf8(e.what());
}

} // namespace blendora
