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

// A state of the machine or of the person's files that they can act on (a full disk, a
// settings file kept aside), or a refusal in their words (a name that cannot take the new file,
// an encoder that failed): told once in plain words, never as a report of a fault of ours.
class Condition : public Failure {
  public:
    using Failure::Failure;
};

[[noreturn]] inline void fail(const QString& description) {
    throw Failure(description);
}
[[noreturn]] inline void failPlainly(const QString& description) {
    throw Condition(description);
}

// errno's text, optionally led by what was being done ("/tmp/x: No such file or directory").
QString errnoText(int error, const QString& subject = QString());
// A full disk or quota, a file size limit and a read-only file system are Conditions, in words
// that name the person's folder; any other error a Failure.
[[noreturn]] void failErrno(int error, const QString& subject = QString());

// The description of whatever was thrown, for the report.
QString describe(const std::exception& e);

} // namespace blendora
