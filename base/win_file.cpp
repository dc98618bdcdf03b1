#include "base/win_file.h"

#include <algorithm>

#include "base/exception.h"
#include "base/win_error.h"

namespace n2 {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

File File::OpenForReadShared(const std::string& path) {
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) throw EFOpenError("Cannot open file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
  return File(std::move(h), path);
}

File File::OpenForReadWriteShared(const std::string& path) {
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) throw EFOpenError("Cannot open file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
  return File(std::move(h), path);
}

File File::CreateAlways(const std::string& path, DWORD share) {
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) throw EFCreateError("Cannot create file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
  return File(std::move(h), path);
}

size_t File::Read(void* buffer, size_t size) {
  size_t total = 0;
  auto* out = static_cast<char*>(buffer);
  while (total < size) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(handle_.Get(), out + total, chunk, &got, nullptr))
      throw EReadError("Read error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
    if (got == 0) break;
    total += got;
  }
  return total;
}

void File::ReadExact(void* buffer, size_t size) {
  if (Read(buffer, size) != size) throw EReadError("Stream read error");
}

void File::Write(const void* data, size_t size) {
  size_t total = 0;
  auto* in = static_cast<const char*>(data);
  while (total < size) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - total, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(handle_.Get(), in + total, chunk, &put, nullptr) || put == 0)
      throw EWriteError("Write error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
    total += put;
  }
}

uint64_t File::Size() const {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle_.Get(), &size))
    throw EInOutError("Cannot get the size of " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
  return static_cast<uint64_t>(size.QuadPart);
}

uint64_t File::Position() const {
  LARGE_INTEGER zero{}, position{};
  if (!::SetFilePointerEx(handle_.Get(), zero, &position, FILE_CURRENT))
    throw EInOutError("Seek error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
  return static_cast<uint64_t>(position.QuadPart);
}

void File::Seek(uint64_t position) {
  LARGE_INTEGER to;
  to.QuadPart = static_cast<LONGLONG>(position);
  if (!::SetFilePointerEx(handle_.Get(), to, nullptr, FILE_BEGIN))
    throw EInOutError("Seek error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
}

void File::Truncate() {
  if (!::SetEndOfFile(handle_.Get()))
    throw EWriteError("Cannot truncate " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
}

std::string ReadWholeFile(const std::string& path) {
  File file = File::OpenForReadShared(path);
  std::string data(static_cast<size_t>(file.Size()), '\0');
  data.resize(file.Read(data.data(), data.size()));
  return data;
}

namespace {

// Rewrites an existing file in place: for a folder that takes no new file
// while the file itself may still be written.
void RewriteInPlace(const std::string& path, const std::string& data) {
  File file = File::OpenForReadWriteShared(path);
  file.Write(data);
  file.Truncate();
  ::FlushFileBuffers(file.Handle());
}

}  // namespace

void ReplaceFileContent(const std::string& path, const std::string& data) {
  std::string temporary = path + ".n2tmp";
  ScopedHandle created(::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!created) {
    const DWORD error = ::GetLastError();
    // A read-only folder (or share) around a writable file: the file is
    // written as it was before files went through a temporary one.
    if ((error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) && FileExists(path))
      return RewriteInPlace(path, data);
    throw EFCreateError("Cannot create file " + Quoted(temporary) + ". " + SystemErrorText(error));
  }
  {
    File file = File::Adopt(std::move(created), temporary);
    try {
      file.Write(data);
      ::FlushFileBuffers(file.Handle());
    } catch (...) {
      file.Close();
      ::DeleteFileA(temporary.c_str());
      throw;
    }
  }
  if (!::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DWORD error = ::GetLastError();
    ::DeleteFileA(temporary.c_str());
    throw EFCreateError("Cannot create file " + Quoted(path) + ". " + SystemErrorText(error));
  }
}

DWORD FileAttributes(const std::string& path) { return ::GetFileAttributesA(path.c_str()); }

bool FileExists(const std::string& path) {
  DWORD a = FileAttributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool FolderExists(const std::string& path) {
  DWORD a = FileAttributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace n2
