// The file system as the packing, the unpacking and the sync engine see it:
// folders listed one at a time, files read and written whole, renames, and
// the stamps (size, last-write time, attributes) that tell whether a file has
// changed. Paths are texts in the system's code page with "\" between folders,
// as the Windows API takes them; names are compared without regard to case.
// Free of windows.h: the plug-in runs on TWinFileSystem, the engine's native
// tests on a file system held in memory.
//
// Every method may be called from several threads at once. Failures raise the
// file-system errors of base/exception.h, with a message that names the file
// and the system's reason, except where a result says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/byte_stream.h"

namespace n2 {

// Attribute bits, as the Windows API numbers them; zip archives keep them too.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrFolder = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;

// A file or folder as a listing or a look at it shows it.
struct FileStamp {
  uint64_t size = 0;
  // Last-write time, UTC, in 100-nanosecond units since 1601 (a FILETIME).
  uint64_t write_time = 0;
  uint32_t attributes = 0;

  bool Folder() const { return (attributes & kAttrFolder) != 0; }
  // The same size and last-write time: the content, in all likelihood, too.
  bool SameContentStamp(const FileStamp& other) const {
    return size == other.size && write_time == other.write_time;
  }
  bool operator==(const FileStamp&) const = default;
};

// One item of a folder's listing. The name is valid during the call only.
struct ListedItem {
  std::string_view name;
  FileStamp stamp;
};

// An open file seen as random-access bytes (an archive being read or
// written). Writes may be gathered; WriteOut writes them to the file, where
// other handles read them, and Sync also asks the disk to keep them; both
// raise when that fails.
class FileStream : public ByteStream {
 public:
  virtual void WriteOut() = 0;
  virtual void Sync() = 0;
};

enum class TRenameResult {
  kDone,
  kTargetExists,  // only when replacing was not allowed
};

class TFileSystem {
 public:
  virtual ~TFileSystem() = default;

  // Calls found for every file and subfolder of folder, in the order the file
  // system lists them; the folder itself may come first under the name ".".
  // ".." never comes. False when the folder cannot be listed (it is missing,
  // say); nothing is raised then.
  virtual bool List(const std::string& folder, const std::function<void(const ListedItem&)>& found) = 0;
  // The stamp of a file or folder; nothing when there is none at path or it
  // cannot be looked at.
  virtual std::optional<FileStamp> Stat(const std::string& path) = 0;

  // The whole content of a file, with the stamp the file had while it was
  // read: a file that changed while it was read (its stamp before and after
  // differ, or the bytes read are not its size) is read again, a few times,
  // before that raises EReadError.
  virtual std::string ReadFile(const std::string& path, FileStamp* stamp = nullptr) = 0;
  // Writes data as the new file path with the given attributes, then, when
  // flush is set, asks the disk to keep it. With must_be_new a file already
  // at path is left alone and the result is false; otherwise one is replaced
  // (a read-only leftover too). Nothing stays behind after a failure. The
  // result's stamp is the written file's (returned through stamp).
  virtual bool WriteFile(const std::string& path, std::string_view data, uint32_t attributes, bool must_be_new,
                         bool flush, FileStamp* stamp = nullptr) = 0;
  // Appends data to path, creating the file when there is none.
  virtual void AppendFile(const std::string& path, std::string_view data) = 0;
  // Renames from to to, on the same volume. Without replace an existing
  // target is left alone (kTargetExists); with it, the target is replaced
  // unless it is read-only or held open by another program, which raise.
  virtual TRenameResult Rename(const std::string& from, const std::string& to, bool replace) = 0;
  virtual void SetAttributes(const std::string& path, uint32_t attributes) = 0;
  // Removes a file (a read-only one too); a missing file is no error.
  virtual void Delete(const std::string& path) = 0;
  // Creates folder and every missing folder above it; an existing one is no error.
  virtual void MakeFolder(const std::string& folder) = 0;
  // Removes an empty folder; anything else is left as it is, silently.
  virtual void RemoveFolder(const std::string& folder) = 0;

  // Archives: an existing file opened for reading (others may go on using
  // it), or a new, empty file for reading and writing.
  virtual std::unique_ptr<FileStream> OpenStream(const std::string& path) = 0;
  virtual std::unique_ptr<FileStream> CreateStream(const std::string& path) = 0;

  // The bytes free for this program on the volume that holds folder (its
  // quota counted); nothing when that cannot be asked.
  virtual std::optional<uint64_t> FreeSpace(const std::string& folder) = 0;

  // The time as the file system holding folder keeps it (a file written
  // there now gets it), which may differ from the computer's clock on a
  // network drive. Units as FileStamp::write_time.
  virtual uint64_t FileSystemNow(const std::string& folder) = 0;
  // The computer's clock (UTC, units as FileStamp::write_time), and the
  // distance of its local time from UTC now, in the same units.
  virtual uint64_t Now() = 0;
  virtual int64_t LocalTimeBias() = 0;
  // path made absolute and canonical (".", ".." and repeated separators
  // resolved), or empty when it cannot be.
  virtual std::string FullPath(const std::string& path) = 0;
};

// A time in FileStamp::write_time's units as a date and time (of the same
// zone: add LocalTimeBias first for local time); nothing outside the years
// 1601 to 30827.
LocalTime CalendarTime(uint64_t time);
// The computer's local date and time now.
inline LocalTime LocalNow(TFileSystem& fs) {
  return CalendarTime(fs.Now() + static_cast<uint64_t>(fs.LocalTimeBias()));
}

}  // namespace n2
