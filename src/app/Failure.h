#pragma once

#include <QString>
#include <stdexcept>
#include <string>

namespace blendora {

// A failure carries its description as the platform or library phrases it.
class Failure : public std::runtime_error {
  public:
    explicit Failure(const QString& description) : std::runtime_error(description.toStdString()) {}
};

[[noreturn]] inline void fail(const QString& description) {
    throw Failure(description);
}

// errno's text, optionally led by what was being done ("/tmp/x: No such file or directory").
QString errnoText(int error, const QString& subject = QString());
[[noreturn]] void failErrno(int error, const QString& subject = QString());

// The description of whatever was thrown, for the report.
QString describe(const std::exception& e);

} // namespace blendora
