// A file opened through the Windows API, with openers named by intent. Every
// failure raises one of the file-system errors of base/exception.h, with a
// message that names the file and the system's reason.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/scoped_handle.h"

namespace n2 {

class File {
 public:
  File() = default;

  // Opens an existing file for reading; others may go on reading and writing it.
  static File OpenForReadShared(const std::string& path);
  // Opens an existing file for reading and writing; others may go on reading and writing it.
  static File OpenForReadWriteShared(const std::string& path);
  // Creates the file, emptying an existing one; share is a FILE_SHARE_* combination.
  static File CreateAlways(const std::string& path, DWORD share = FILE_SHARE_READ);
  // Takes over a handle opened elsewhere.
  static File Adopt(ScopedHandle handle, std::string path) { return File(std::move(handle), std::move(path)); }

  bool IsOpen() const noexcept { return handle_.IsValid(); }
  HANDLE Handle() const noexcept { return handle_.Get(); }
  const std::string& Path() const noexcept { return path_; }

  // Reads up to size bytes; returns how many came (0 at the end of the file).
  size_t Read(void* buffer, size_t size);
  // Reads exactly size bytes or raises EReadError.
  void ReadExact(void* buffer, size_t size);
  // Writes all bytes or raises EWriteError.
  void Write(const void* data, size_t size);
  void Write(const std::string& data) { Write(data.data(), data.size()); }

  uint64_t Size() const;
  uint64_t Position() const;
  void Seek(uint64_t position);
  // Cuts the file at the current position.
  void Truncate();
  void Close() noexcept { handle_.Close(); }

 private:
  File(ScopedHandle handle, std::string path) : handle_(std::move(handle)), path_(std::move(path)) {}

  ScopedHandle handle_;
  std::string path_;
};

// Reads a whole file (shared) into memory.
std::string ReadWholeFile(const std::string& path);

// Replaces the content of path with data: written to a temporary file beside it
// and renamed over the old one, so a failure never leaves a half-written file.
void ReplaceFileContent(const std::string& path, const std::string& data);

// Attribute bits of a path, or INVALID_FILE_ATTRIBUTES when it does not exist.
DWORD FileAttributes(const std::string& path);
bool FileExists(const std::string& path);
// Size of the file at path; 0 when there is none.
uint64_t FileSize(const std::string& path);
bool FolderExists(const std::string& path);

}  // namespace n2
