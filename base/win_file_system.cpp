#include "base/win_file_system.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "base/win_error.h"

namespace n2 {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

uint64_t TimeOf(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

FileStamp StampOf(const WIN32_FIND_DATAA& found) {
  return FileStamp{(uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow, TimeOf(found.ftLastWriteTime),
                   found.dwFileAttributes};
}

// The size and last-write time of an open file; what a change of it moves.
bool StampOfHandle(HANDLE h, FileStamp& stamp) {
  LARGE_INTEGER size;
  FILETIME written;
  if (!::GetFileSizeEx(h, &size) || !::GetFileTime(h, nullptr, nullptr, &written)) return false;
  stamp.size = static_cast<uint64_t>(size.QuadPart);
  stamp.write_time = TimeOf(written);
  return true;
}

// The attributes of an open file; 0 when they cannot be had.
// GetFileInformationByHandle also asks for the file's volume and index, which
// under Wine takes a quarter of a millisecond a file, more than reading a
// card; the basic information (Windows Vista on) is what GetFileTime reads
// anyway.
DWORD AttributesOfHandle(HANDLE h) {
  struct BasicInfo {  // FILE_BASIC_INFO
    LARGE_INTEGER creation_time, last_access_time, last_write_time, change_time;
    DWORD attributes;
  };
  using QueryFn = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  static const QueryFn query = reinterpret_cast<QueryFn>(
      ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx"));
  constexpr int kFileBasicInfo = 0;
  BasicInfo basic;
  if (query && query(h, kFileBasicInfo, &basic, sizeof basic)) return basic.attributes;
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(h, &info) ? info.dwFileAttributes : 0;
}

// Reads up to size bytes at the handle's position.
size_t ReadSome(HANDLE h, char* out, size_t size, const std::string& path) {
  size_t total = 0;
  while (total < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - total, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(h, out + total, chunk, &got, nullptr))
      throw EReadError("Read error on " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
    if (got == 0) break;
    total += got;
  }
  return total;
}

void WriteAll(HANDLE h, const char* data, size_t size, const std::string& path) {
  size_t done = 0;
  while (done < size) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(h, data + done, chunk, &put, nullptr) || put == 0)
      throw EWriteError("Write error on " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
    done += put;
  }
}

// An archive file: positioned reads through a small read-ahead block, and
// writes that follow one another gathered into blocks of up to 1 MB. The
// block's room is taken once and kept: growing a buffer of megabytes step by
// step costs a page fault for every page of each new copy. One lock guards
// both, so several threads may read at once.
class WinFileStream : public FileStream {
 public:
  WinFileStream(ScopedHandle handle, std::string path) : handle_(std::move(handle)), path_(std::move(path)) {}
  ~WinFileStream() override {
    try {
      Flush();
    } catch (const std::exception&) {
      // Writers end with Sync or Truncate, which report the error.
    }
  }

  uint64_t Size() override {
    std::lock_guard lock(mutex_);
    Flush();
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(handle_.Get(), &size))
      throw EInOutError("Cannot get the size of " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
    return static_cast<uint64_t>(size.QuadPart);
  }

  size_t ReadAt(uint64_t position, void* buffer, size_t size) override {
    std::lock_guard lock(mutex_);
    Flush();
    char* out = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
      const uint64_t at = position + done;
      if (at >= ahead_at_ && at < ahead_at_ + ahead_.size()) {
        const size_t n = std::min<size_t>(size - done, ahead_.size() - static_cast<size_t>(at - ahead_at_));
        std::memcpy(out + done, ahead_.data() + (at - ahead_at_), n);
        done += n;
        continue;
      }
      if (size - done >= kReadAhead) {  // large reads go straight to the caller
        Seek(at);
        const size_t got = ReadSome(handle_.Get(), out + done, size - done, path_);
        done += got;
        break;
      }
      ahead_.resize(kReadAhead);
      Seek(at);
      ahead_.resize(ReadSome(handle_.Get(), ahead_.data(), kReadAhead, path_));
      ahead_at_ = at;
      if (ahead_.empty()) break;
    }
    return done;
  }

  void WriteAt(uint64_t position, const void* data, size_t size) override {
    if (size == 0) return;
    std::lock_guard lock(mutex_);
    ahead_.clear();
    if (!pending_.empty() && (position != pending_at_ + pending_.size() || pending_.size() + size > kWriteBehind))
      Flush();
    if (size >= kWriteBehind) {  // a block of its own
      Seek(position);
      WriteAll(handle_.Get(), static_cast<const char*>(data), size, path_);
      return;
    }
    if (pending_.capacity() < kWriteBehind) pending_.reserve(kWriteBehind);
    if (pending_.empty()) pending_at_ = position;
    pending_.append(static_cast<const char*>(data), size);
  }

  void Truncate(uint64_t size) override {
    std::lock_guard lock(mutex_);
    ahead_.clear();
    Flush();
    Seek(size);
    if (!::SetEndOfFile(handle_.Get()))
      throw EWriteError("Write error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
  }

  void WriteOut() override {
    std::lock_guard lock(mutex_);
    Flush();
  }

  void Sync() override {
    std::lock_guard lock(mutex_);
    Flush();
    if (!::FlushFileBuffers(handle_.Get()))
      throw EWriteError("Write error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
  }

 private:
  static constexpr size_t kWriteBehind = 1u << 20;
  static constexpr size_t kReadAhead = 64u << 10;

  void Seek(uint64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!::SetFilePointerEx(handle_.Get(), to, nullptr, FILE_BEGIN))
      throw EInOutError("Seek error on " + Quoted(path_) + ". " + SystemErrorText(::GetLastError()));
  }
  void Flush() {
    if (pending_.empty()) return;
    try {
      Seek(pending_at_);
      WriteAll(handle_.Get(), pending_.data(), pending_.size(), path_);
    } catch (...) {
      pending_.clear();
      throw;
    }
    pending_.clear();  // keeps its room for the next bytes
  }

  ScopedHandle handle_;
  const std::string path_;
  std::mutex mutex_;
  std::string ahead_;  // bytes read ahead at ahead_at_
  uint64_t ahead_at_ = 0;
  std::string pending_;  // bytes to write at pending_at_
  uint64_t pending_at_ = 0;
};

}  // namespace

// Lists a folder a whole buffer of entries per call. Under Wine, where a
// listing is the largest part of packing an unchanged book, this takes a
// quarter less time than FindFirstFile's few entries per call, and matching
// no wildcard. Windows XP, which lacks the call, lists as FindFirstFile does.
bool TWinFileSystem::List(const std::string& folder, const std::function<void(const ListedItem&)>& found) {
  struct FullDirInfo {  // FILE_FULL_DIR_INFO
    DWORD next_entry_offset, file_index;
    LARGE_INTEGER creation_time, last_access_time, last_write_time, change_time, end_of_file, allocation_size;
    DWORD attributes, name_length, ea_size;
    WCHAR name[1];
  };
  using QueryFn = BOOL(WINAPI*)(HANDLE, int, void*, DWORD);
  static const QueryFn query = reinterpret_cast<QueryFn>(
      ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "GetFileInformationByHandleEx"));
  constexpr int kFileFullDirectoryInfo = 14;
  const auto failed = [&] {
    throw EReadError("Cannot list folder " + Quoted(folder) + ". " + SystemErrorText(::GetLastError()));
  };
  if (!query) {
    WIN32_FIND_DATAA item;
    ScopedFindHandle find(::FindFirstFileA((folder + "\\*.*").c_str(), &item));
    if (!find) return false;
    do {
      const std::string_view name = item.cFileName;
      if (name == "..") continue;
      found(ListedItem{name, StampOf(item)});
    } while (::FindNextFileA(find.Get(), &item));
    if (::GetLastError() != ERROR_NO_MORE_FILES) failed();
    return true;
  }
  ScopedHandle dir(::CreateFileA(folder.c_str(), FILE_LIST_DIRECTORY, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!dir) return false;
  // DWORD-aligned, as the entries in it are.
  std::vector<DWORD> buffer(16 * 1024);
  const UINT code_page = ::AreFileApisANSI() ? CP_ACP : CP_OEMCP;
  char name[MAX_PATH * 2];
  for (bool first = true;; first = false) {
    if (!query(dir.Get(), kFileFullDirectoryInfo, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
      if (::GetLastError() == ERROR_NO_MORE_FILES) return true;
      // A file rather than a folder cannot be listed at all.
      if (first) return false;
      failed();
    }
    for (const char* at = reinterpret_cast<const char*>(buffer.data());;) {
      const FullDirInfo& entry = *reinterpret_cast<const FullDirInfo*>(at);
      const int length = ::WideCharToMultiByte(code_page, 0, entry.name, static_cast<int>(entry.name_length / 2),
                                               name, sizeof name, nullptr, nullptr);
      if (length <= 0) failed();
      const std::string_view listed(name, static_cast<size_t>(length));
      if (listed != "..") {
        const FileStamp stamp{static_cast<uint64_t>(entry.end_of_file.QuadPart),
                              static_cast<uint64_t>(entry.last_write_time.QuadPart), entry.attributes};
        found(ListedItem{listed, stamp});
      }
      if (entry.next_entry_offset == 0) break;
      at += entry.next_entry_offset;
    }
  }
}

std::optional<FileStamp> TWinFileSystem::Stat(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return FileStamp{(uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow, TimeOf(data.ftLastWriteTime),
                   data.dwFileAttributes};
}

std::string TWinFileSystem::ReadFile(const std::string& path, FileStamp* stamp) {
  constexpr int kAttempts = 4;
  for (int attempt = 1;; ++attempt) {
    ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!h) throw EFOpenError("Cannot open file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
    FileStamp before, after;
    if (!StampOfHandle(h.Get(), before))
      throw EReadError("Read error on " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
    // One byte more than the size: a file that grew meanwhile shows it.
    std::string data(static_cast<size_t>(before.size) + 1, '\0');
    data.resize(ReadSome(h.Get(), data.data(), data.size(), path));
    const bool looked = StampOfHandle(h.Get(), after);
    if (looked && after == before && data.size() == before.size) {
      if (stamp) {
        *stamp = after;
        stamp->attributes = AttributesOfHandle(h.Get());
      }
      return data;
    }
    if (attempt == kAttempts)
      throw EReadError("Read error on " + Quoted(path) + ". The file kept changing while it was read");
    ::Sleep(10 * attempt);
  }
}

bool TWinFileSystem::WriteFile(const std::string& path, std::string_view data, uint32_t attributes,
                               bool must_be_new, bool flush, FileStamp* stamp) {
  const DWORD disposition = must_be_new ? CREATE_NEW : CREATE_ALWAYS;
  const DWORD created_attributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, created_attributes, nullptr));
  DWORD error = h ? ERROR_SUCCESS : ::GetLastError();
  if (must_be_new && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)) return false;
  if (!h && !must_be_new && ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL)) {  // a read-only leftover
    h.Attach(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, created_attributes, nullptr));
    if (!h) error = ::GetLastError();
  }
  if (!h) throw EFCreateError("Cannot create file " + Quoted(path) + ". " + SystemErrorText(error));
  try {
    WriteAll(h.Get(), data.data(), data.size(), path);
    if (flush && !::FlushFileBuffers(h.Get()))
      throw EWriteError("Write error on " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
    if (stamp) {
      if (!StampOfHandle(h.Get(), *stamp))
        throw EWriteError("Write error on " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
      stamp->attributes = created_attributes;
    }
  } catch (...) {
    h.Close();
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path.c_str());
    throw;
  }
  return true;
}

void TWinFileSystem::AppendFile(const std::string& path, std::string_view data) {
  ScopedHandle h(::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) throw EFCreateError("Cannot create file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
  WriteAll(h.Get(), data.data(), data.size(), path);
}

TRenameResult TWinFileSystem::Rename(const std::string& from, const std::string& to, bool replace) {
  if (::MoveFileExA(from.c_str(), to.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return TRenameResult::kDone;
  DWORD error = ::GetLastError();
  if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) return TRenameResult::kTargetExists;
  if (error == ERROR_ACCESS_DENIED && replace) {
    // A target another program holds open without letting it be deleted is
    // refused as "access denied": say what it is.
    ScopedHandle probe(::CreateFileA(to.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!probe && ::GetLastError() == ERROR_SHARING_VIOLATION) error = ERROR_SHARING_VIOLATION;
  }
  throw EFCreateError("Cannot create file " + Quoted(to) + ". " + SystemErrorText(error));
}

void TWinFileSystem::SetAttributes(const std::string& path, uint32_t attributes) {
  if (!::SetFileAttributesA(path.c_str(), attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes))
    throw EInOutError("Cannot set the attributes of " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
}

void TWinFileSystem::Delete(const std::string& path) {
  if (::DeleteFileA(path.c_str())) return;
  DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  if (error == ERROR_ACCESS_DENIED && ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL)) {
    if (::DeleteFileA(path.c_str())) return;
    error = ::GetLastError();
  }
  throw EInOutError("Cannot delete file " + Quoted(path) + ". " + SystemErrorText(error));
}

void TWinFileSystem::MakeFolder(const std::string& folder) {
  const LeadBytes& lead = SystemLeadBytes();
  // Every folder above it first, from the top; a root ("C:\", "\\server\share\") is never made.
  for (size_t i = 0, previous = std::string::npos; i < folder.size(); previous = i, i += lead.CharLength(folder, i)) {
    const bool separator = lead.CharLength(folder, i) == 1 && (folder[i] == '\\' || folder[i] == '/');
    const bool after_root = previous == std::string::npos || folder[previous] == ':' ||
                            (lead.CharLength(folder, previous) == 1 && folder[previous] == '\\');
    if (separator && !after_root) ::CreateDirectoryA(folder.substr(0, i).c_str(), nullptr);
  }
  if (::CreateDirectoryA(folder.c_str(), nullptr)) return;
  const DWORD error = ::GetLastError();
  const DWORD attributes = ::GetFileAttributesA(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw EInOutError("Cannot create folder " + Quoted(folder) + ". " + SystemErrorText(error));
}

void TWinFileSystem::RemoveFolder(const std::string& folder) { ::RemoveDirectoryA(folder.c_str()); }

std::unique_ptr<FileStream> TWinFileSystem::OpenStream(const std::string& path) {
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
  if (!h) throw EFOpenError("Cannot open file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
  return std::make_unique<WinFileStream>(std::move(h), path);
}

std::unique_ptr<FileStream> TWinFileSystem::CreateStream(const std::string& path) {
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h && ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL))  // a read-only leftover
    h.Attach(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) throw EFCreateError("Cannot create file " + Quoted(path) + ". " + SystemErrorText(::GetLastError()));
  return std::make_unique<WinFileStream>(std::move(h), path);
}

std::optional<uint64_t> TWinFileSystem::FreeSpace(const std::string& folder) {
  ULARGE_INTEGER available;
  std::string where = folder;
  if (!where.empty() && where.back() != '\\') where += '\\';
  if (!::GetDiskFreeSpaceExA(where.c_str(), &available, nullptr, nullptr)) return std::nullopt;
  return available.QuadPart;
}

uint64_t TWinFileSystem::FileSystemNow(const std::string& folder) {
  // A file made there now carries the file system's time; it goes when closed.
  const std::string probe = folder + (folder.empty() || folder.back() == '\\' ? "" : "\\") + "~N2Clock" +
                            std::to_string(::GetCurrentThreadId()) + ".tmp";
  ScopedHandle h(::CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  FILETIME written;
  if (h && ::GetFileTime(h.Get(), nullptr, nullptr, &written) && TimeOf(written) != 0)
    return TimeOf(written);
  return Now();  // a folder that takes no file: the computer's clock is all there is
}

uint64_t TWinFileSystem::Now() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return TimeOf(now);
}

int64_t TWinFileSystem::LocalTimeBias() {
  FILETIME utc, local;
  ::GetSystemTimeAsFileTime(&utc);
  if (!::FileTimeToLocalFileTime(&utc, &local)) return 0;
  return static_cast<int64_t>(TimeOf(local) - TimeOf(utc));
}

std::string TWinFileSystem::FullPath(const std::string& path) {
  char buffer[MAX_PATH * 2];
  const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return std::string();
  return std::string(buffer, n);
}

}  // namespace n2
