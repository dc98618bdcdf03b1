// Random-access bytes behind one small interface, so that the same record code
// serves a file, a memory buffer and a fuzzer's input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace n2 {

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  virtual uint64_t Size() = 0;
  // Reads up to size bytes at position; returns how many there were.
  virtual size_t ReadAt(uint64_t position, void* buffer, size_t size) = 0;
  // Writes all bytes at position, growing the stream as needed.
  virtual void WriteAt(uint64_t position, const void* data, size_t size) = 0;
  // Cuts the stream (or extends it) to size bytes.
  virtual void Truncate(uint64_t size) = 0;

  // Reads exactly size bytes or raises EReadError.
  void ReadExactAt(uint64_t position, void* buffer, size_t size);
  std::string ReadStringAt(uint64_t position, size_t size);
};

// A stream held in memory.
class MemoryStream : public ByteStream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}
  uint64_t Size() override { return bytes_.size(); }
  size_t ReadAt(uint64_t position, void* buffer, size_t size) override;
  void WriteAt(uint64_t position, const void* data, size_t size) override;
  void Truncate(uint64_t size) override { bytes_.resize(static_cast<size_t>(size)); }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// A local date and time split into its parts.
struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

}  // namespace n2
