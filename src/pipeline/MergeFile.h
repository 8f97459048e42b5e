#pragma once

#include <QString>
#include <cstdint>

namespace blendora {

// A plain file descriptor whose every failure throws with the errno text.
class MergeFile {
  public:
    enum Mode { Read, ReadWrite, Replace };

    MergeFile() = default;
    MergeFile(const MergeFile&) = delete;
    MergeFile& operator=(const MergeFile&) = delete;
    ~MergeFile();

    void open(const QString& path, Mode mode);
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::int64_t size() const;

    // Fills `length` bytes from `offset`; bytes past the end of the file read as zero.
    void readAt(std::int64_t offset, void* buffer, std::int64_t length) const;
    // Writes all of it, or throws: a short write is a failure too.
    void writeAt(std::int64_t offset, const void* buffer, std::int64_t length);
    void close();

  private:
    int fd_ = -1;
    QString path_;
};

} // namespace blendora
