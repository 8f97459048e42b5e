#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>

namespace blendora {

// An owned file descriptor whose every write is checked: a short or failed write throws with
// the path and the system's words for it.
class OutputFile {
  public:
    OutputFile() = default;
    // Creates or truncates the file.
    static OutputFile create(const QString& path, unsigned mode = 0600);
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    const QString& path() const { return path_; }
    void write(const void* data, std::size_t size);
    void writeAt(const void* data, std::size_t size, std::int64_t offset);
    // Closes and reports a failed close (the last chance to hear of a full disk).
    void close();
    // Closes without a word and deletes the file: nothing half-written stays behind.
    void discard() noexcept;

  private:
    int fd_ = -1;
    QString path_;
};

} // namespace blendora
