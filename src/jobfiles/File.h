#pragma once

#include "Descriptor.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <sys/stat.h>

namespace blendora {

struct JobFile;

// An owned file descriptor whose every failure throws with the path and the system's words
// for it; a short write is a failure too.
class File {
  public:
    enum Mode { Read, ReadWrite, Replace };

    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Replace creates or truncates; ReadWrite creates. New files get `permissions` less umask.
    // A link at the name is never followed; in a job folder, Replace makes the file new.
    void open(const JobFile& file, Mode mode, unsigned permissions = 0666);
    const QString& path() const { return path_; }
    bool isOpen() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    std::int64_t size() const;
    // The file's inode, size and times now.
    struct stat state() const;

    // Fills `length` bytes from `offset`; bytes past the file's length read as zero. That length
    // is the file's at open, or what mustHold says: a read that comes up short of it (the file
    // cut meanwhile, a failing disk) throws a Condition, never passes zeros off as the file.
    void readAt(std::int64_t offset, void* buffer, std::int64_t length) const;
    // The file holds `length` bytes, as the job wrote it, also when it was cut before it was
    // opened.
    void mustHold(std::int64_t length) { length_ = length; }
    // Writes all of it, or throws: a short write is a failure too.
    void writeAt(std::int64_t offset, const void* buffer, std::int64_t length);
    // Writes at the end of what this object wrote so far.
    void append(const void* buffer, std::int64_t length);
    // Reports a failed close too: the last chance to hear of a full disk.
    void close();
    // Closes without a word and deletes the file while its name is still the file held: nothing
    // half-written stays behind, and a file put at the name since stays.
    void discard() noexcept;

  private:
    UniqueFd fd_;
    int folder_ = -1; // held by the folder's owner
    std::int64_t end_ = 0, length_ = 0;
    QString path_;
    QByteArray name_;
};

// True when two stat results are one file in one state: same inode, size, modification and
// change time (a tag editor may put the modification time back; the change time it cannot). A plain
// comparison, so safe between fork() and exec().
bool sameFileState(const struct stat& a, const struct stat& b);

} // namespace blendora
