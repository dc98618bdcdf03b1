#include "base/byte_stream.h"

#include <algorithm>
#include <cstring>

#include "base/exception.h"

namespace n2 {

void ByteStream::ReadExactAt(uint64_t position, void* buffer, size_t size) {
  if (ReadAt(position, buffer, size) != size) throw EReadError("Stream read error");
}

std::string ByteStream::ReadStringAt(uint64_t position, size_t size) {
  std::string s(size, '\0');
  if (size > 0) ReadExactAt(position, s.data(), size);
  return s;
}

size_t MemoryStream::ReadAt(uint64_t position, void* buffer, size_t size) {
  if (position >= bytes_.size()) return 0;
  size_t n = std::min<size_t>(size, bytes_.size() - static_cast<size_t>(position));
  std::memcpy(buffer, bytes_.data() + position, n);
  return n;
}

void MemoryStream::WriteAt(uint64_t position, const void* data, size_t size) {
  if (size == 0) return;
  size_t end = static_cast<size_t>(position) + size;
  if (bytes_.size() < end) bytes_.resize(end);
  std::memcpy(bytes_.data() + position, data, size);
}

}  // namespace n2
