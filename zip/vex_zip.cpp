#include "zip/vex_zip.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <thread>

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "base/win_error.h"

namespace n2 {
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

DosStamp StampOf(const SYSTEMTIME& st) {
  return EncodeDosStamp(LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond});
}

// A file-system time (UTC) as a DOS stamp in local time.
DosStamp StampOf(const FILETIME& utc) {
  FILETIME local;
  SYSTEMTIME st;
  if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &st)) return {};
  return StampOf(st);
}

DosStamp NowStamp() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return StampOf(st);
}

// Runs work(0) .. work(count - 1) on a few threads; returns when all are done.
// With parallel false, everything runs on the calling thread.
void RunInParallel(size_t count, const std::function<void(size_t)>& work, bool parallel = true) {
  const size_t threads =
      parallel ? std::min<size_t>(count, std::max(2u, std::thread::hardware_concurrency()) + 1) : 1;
  std::atomic<size_t> next{0};
  auto run = [&] {
    for (size_t i; (i = next.fetch_add(1)) < count;) work(i);
  };
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(run);
  run();
  for (std::thread& t : pool) t.join();
}

bool IsDotName(const char* name) { return std::string_view(name) == "." || std::string_view(name) == ".."; }

std::string WithSeparator(const std::string& folder) {
  return EndsWithSeparator(folder, SystemLeadBytes()) ? folder : folder + "\\";
}

// Creates folder and every missing parent.
void CreateFolderTree(const std::string& folder) {
  const LeadBytes& lead = SystemLeadBytes();
  for (size_t i = 0, previous = std::string::npos; i < folder.size(); previous = i, i += lead.CharLength(folder, i)) {
    const bool separator = lead.CharLength(folder, i) == 1 && (folder[i] == '\\' || folder[i] == '/');
    const bool after_root = previous == std::string::npos || folder[previous] == ':' ||
                            (lead.CharLength(folder, previous) == 1 && folder[previous] == '\\');
    if (separator && !after_root) ::CreateDirectoryA(folder.substr(0, i).c_str(), nullptr);
  }
  ::CreateDirectoryA(folder.c_str(), nullptr);
  if (!FolderExists(folder))
    throw EInOutError("Cannot create folder " + Quoted(folder) + ". " + SystemErrorText(::GetLastError()));
}

// Creates path (replacing a leftover of an earlier run) with the given
// attributes and writes data into it; on failure nothing is left behind.
void WriteNewFile(const std::string& path, const std::string& data, DWORD attributes) {
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
  DWORD error = h ? ERROR_SUCCESS : ::GetLastError();
  if (!h && ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL)) {  // a read-only or hidden leftover
    h.Attach(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
    if (!h) error = ::GetLastError();
  }
  if (!h) throw EFCreateError("Cannot create file " + Quoted(path) + ". " + SystemErrorText(error));
  size_t done = 0;
  while (done < data.size()) {
    DWORD put = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    if (!::WriteFile(h.Get(), data.data() + done, chunk, &put, nullptr) || put == 0) {
      error = ::GetLastError();
      h.Close();
      ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(path.c_str());
      throw EWriteError("Write error on " + Quoted(path) + ". " + SystemErrorText(error));
    }
    done += put;
  }
}

std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH * 2];
  DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return std::string();
  return std::string(buffer, n);
}

}  // namespace

void FileByteStream::CacheWholeFile() {
  std::string bytes(static_cast<size_t>(file_.Size()), '\0');
  file_.Seek(0);
  bytes.resize(file_.Read(bytes.data(), bytes.size()));
  cache_ = MemoryStream(std::move(bytes));
  cached_ = true;
}

size_t FileByteStream::ReadAt(uint64_t position, void* buffer, size_t size) {
  if (cached_) return cache_.ReadAt(position, buffer, size);
  file_.Seek(position);
  return file_.Read(buffer, size);
}

void FileByteStream::WriteAt(uint64_t position, const void* data, size_t size) {
  if (size == 0) return;
  cached_ = false;
  cache_ = MemoryStream();
  file_.Seek(position);
  file_.Write(data, size);
}

void FileByteStream::Truncate(uint64_t size) {
  cached_ = false;
  cache_ = MemoryStream();
  file_.Seek(size);
  file_.Truncate();
}

void TVexZip::SetCompressionType(TZipCompressionType type) {
  compression_ = type == TZipCompressionType::ctUnknown ? TZipCompressionType::ctNormal : type;
}

int TVexZip::CompressionLevel() const {
  switch (compression_) {
    case TZipCompressionType::ctMaximum:
      return 9;
    case TZipCompressionType::ctFast:
    case TZipCompressionType::ctSuperFast:
      return 1;
    case TZipCompressionType::ctNone:
      return 0;
    default:
      return -1;
  }
}

const std::string& TVexZip::ComponentVersion() const {
  static const std::string version = "2.0";
  return version;
}

void TVexZip::SetActive(bool active) {
  if (file_name_.empty()) return;
  if (active)
    OpenArchive(file_name_);
  else
    CloseArchive();
}

void TVexZip::OpenArchive(const std::string& path) {
  CloseArchive();
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) throw Exception("File " + Quoted(path) + " not found!");
  read_only_ = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  stream_ = std::make_unique<FileByteStream>(read_only_ ? File::OpenForReadShared(path)
                                                        : File::OpenForReadWriteShared(path));
  try {
    if (!archive_.Read(*stream_)) CloseArchive();
  } catch (...) {
    CloseArchive();
    throw;
  }
  file_name_ = path;
}

void TVexZip::CloseArchive() {
  archive_.Clear();
  stream_.reset();
  read_only_ = false;
}

void TVexZip::WriteEmptyArchive(File& file) { file.Write(EncodeEndRecord(EndRecord{})); }

void TVexZip::RequireWritable() {
  if (!stream_ || !archive_.IsZip()) throw Exception("No archive is open");
  if (read_only_) throw Exception("The archive " + Quoted(file_name_) + " is read-only");
}

void TVexZip::EnsureFolderEntries(const std::string& name, uint32_t attributes, DosStamp stamp) {
  std::string folder = NormalizeEntryName(name, lead_);
  folder.erase(FindLastOf(folder, "/", lead_) + 1);  // keep up to and including the last separator
  for (size_t end = folder.find('/'); end != std::string::npos; end = folder.find('/', end + 1)) {
    std::string prefix = folder.substr(0, end + 1);
    if (archive_.FindEntry(prefix) < 0) archive_.AddStreamEntry(prefix, attributes, {}, stamp, CompressionLevel());
  }
}

// Adding works in two steps. The listing walks the tree in the order of
// adding and notes each step: a folder entry to make sure of, or a file to
// add. Then the files of a window of steps are read and compressed on several
// threads, and the steps are applied in order, so that the archive is the one
// that adding the entries one at a time gives, and a file that cannot be read
// fails at its own place with the entries before it added.
struct TVexZip::Step {
  enum Kind { kFolder, kFile } kind;
  std::string path;  // files only
  std::string name;
  uint32_t attributes;
  DosStamp stamp;
};

void TVexZip::ListFile(const std::string& path, const std::string& name, const WIN32_FIND_DATAA& found,
                       std::vector<Step>& steps) {
  steps.push_back(Step{Step::kFile, path, name, found.dwFileAttributes, StampOf(found.ftLastWriteTime)});
}

void TVexZip::ListFolderTree(const std::string& folder, const std::string& root, bool with_subfolders,
                             const std::string& mask, std::vector<Step>& steps) {
  WIN32_FIND_DATAA item;
  ScopedFindHandle find(::FindFirstFileA((folder + "\\*.*").c_str(), &item));
  if (!find) return;
  do {
    const std::string name = item.cFileName;
    if (name == "..") continue;
    if (name == ".") {
      // The folder being listed gets its own entry, with its attributes and time.
      steps.push_back(Step{Step::kFolder, {}, RelativeName(folder + "\\", root, lead_), item.dwFileAttributes,
                           StampOf(item.ftLastWriteTime)});
    } else if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      const std::string full = folder + "\\" + name;
      if (StoreFolders && StoreRelativePath)
        steps.push_back(Step{Step::kFolder, {}, RelativeName(full + "\\", root, lead_), item.dwFileAttributes,
                             StampOf(item.ftLastWriteTime)});
      if (with_subfolders) ListFolderTree(full, root, with_subfolders, mask, steps);
    } else {
      const std::string full = folder + "\\" + name;
      if (WildcardMatch(mask, full, lead_)) ListFile(full, RelativeName(full, root, lead_), item, steps);
    }
  } while (::FindNextFileA(find.Get(), &item));
}

void TVexZip::ApplySteps(const std::vector<Step>& steps) {
  constexpr size_t kWindow = 512;  // files read ahead at most
  const int level = CompressionLevel();
  for (size_t first = 0; first < steps.size();) {
    size_t last = first;
    std::vector<size_t> files;
    while (last < steps.size() && files.size() < kWindow) {
      if (steps[last].kind == Step::kFile) files.push_back(last);
      ++last;
    }
    std::vector<ZipArchive::Prepared> prepared(files.size());
    std::vector<std::exception_ptr> errors(files.size());
    RunInParallel(files.size(), [&](size_t i) {
      try {
        File file = File::OpenForReadShared(steps[files[i]].path);
        std::string data(static_cast<size_t>(file.Size()), '\0');
        data.resize(file.Read(data.data(), data.size()));
        prepared[i] = ZipArchive::Prepare(data, level);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    });
    for (size_t i = first, file = 0; i < last; ++i) {
      const Step& step = steps[i];
      if (step.kind == Step::kFolder) {
        EnsureFolderEntries(step.name, step.attributes, step.stamp);
        continue;
      }
      if (errors[file]) std::rethrow_exception(errors[file]);
      std::string name = step.name;
      if (!StoreRelativePath) name = name.substr(FindLastOf(name, "\\/", lead_) + 1);
      if (StoreFolders && StoreRelativePath) EnsureFolderEntries(name, kAttrFolder, NowStamp());
      archive_.AddPreparedEntry(name, step.attributes, prepared[file], step.stamp);
      ++file;
    }
    first = last;
  }
}

void TVexZip::AddPathList(const std::vector<std::string>& paths, const std::string& root, bool with_subfolders) {
  RequireWritable();
  archive_.BeginBatch();
  try {
    std::vector<Step> steps;
    for (const std::string& path : paths) {
      WIN32_FIND_DATAA found;
      ScopedFindHandle find(::FindFirstFileA(path.c_str(), &found));
      if (!find) continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!IsDotName(found.cFileName)) ListFolderTree(path, root, with_subfolders, "*.*", steps);
      } else {
        ListFile(path, RelativeName(path, root, lead_), found, steps);  // a listed file needs no mask
      }
    }
    ApplySteps(steps);
  } catch (...) {
    // Entries added so far stay readable: their directory is written all the same.
    try {
      archive_.EndBatch();
    } catch (...) {
    }
    throw;
  }
  archive_.EndBatch();
}

// Extraction works in windows of entries. Decoding and checking the entries
// and writing them to temporary files (in a folder of their own in the target:
// a small folder keeps creating them cheap, and renaming out of it is atomic
// too) run on several threads; the temporary files are then renamed over the destinations one by
// one in archive order. A failing entry thus stops the extraction at its own
// place: the entries before it are in place, later ones are not, and no
// destination is ever left partly written.
struct TVexZip::Planned {
  size_t index = 0;
  std::string dest;
  bool folder = false;  // a folder to create, no data
  bool skip = false;    // nothing to write
  std::optional<std::string> data;
  std::string temporary;
  DWORD attributes = 0;
  bool written = false;  // the temporary file exists
  std::exception_ptr error;
};

void TVexZip::ExtractArchiveTo(const std::string& target) {
  if (!stream_ || !archive_.IsZip()) return;
  const std::string base = WithSeparator(target);
  const std::string full_base = WithSeparator(FullPath(base));
  // Threads may only share the archive's bytes when they are held in memory.
  bool parallel = stream_->Size() <= (64u << 20);
  if (parallel) stream_->CacheWholeFile();
  made_folders_.clear();
  listed_.clear();
  listed_folders_.clear();
  const std::string temporary_folder = base + "~N2Unpack.tmp\\";
  struct RemoveWhenDone {
    const std::string& folder;
    ~RemoveWhenDone() { ::RemoveDirectoryA(folder.c_str()); }
  } remove_when_done{temporary_folder};
  constexpr size_t kWindow = 256;
  const size_t count = archive_.Entries().size();
  for (size_t first = 0; first < count;) {
    std::vector<Planned> plan;
    std::unordered_set<std::string> names;  // destinations of the window, folded
    bool clash = false;
    size_t last = first;
    for (; last < count && last - first < kWindow; ++last) {
      std::optional<ExtractPath> where = SafeExtractPath(archive_.Entries()[last].central.name, lead_);
      if (!where) continue;  // a name that leads outside the target is never written
      Planned p;
      p.index = last;
      p.dest = base + where->folder + where->file;
      const std::string full = FullPath(p.dest);
      const bool inside = full.size() > full_base.size() &&
                          FoldCase(full.substr(0, full_base.size()), lead_) == FoldCase(full_base, lead_);
      if (!inside && !(where->file.empty() && where->folder.empty())) continue;
      if (FoldCase(p.dest, lead_).rfind(FoldCase(temporary_folder, lead_), 0) == 0) continue;  // our own working folder
      p.folder = archive_.Entries()[last].Folder() || where->file.empty();
      if (!p.folder) {
        p.temporary = temporary_folder + std::to_string(last);
        clash |= !names.insert(FoldCase(p.dest, lead_)).second;
      }
      plan.push_back(std::move(p));
    }
    if (clash && last - first > 1) {
      // Two entries of the window would meet in one file: take them one at a time.
      std::erase_if(plan, [&](const Planned& p) { return p.index != first; });
      last = first + 1;
    }
    ExtractWindow(plan, base, temporary_folder, parallel);
    first = last;
  }
  made_folders_.clear();
}

void TVexZip::ExtractWindow(std::vector<Planned>& plan, const std::string& base,
                            const std::string& temporary_folder, bool parallel) {
  const bool skip_existing =
      OverwriteAction == TOverwriteAction::oaSkip || OverwriteAction == TOverwriteAction::oaSkipAll;
  // Decode and check every entry; nothing is written yet.
  RunInParallel(
      plan.size(),
      [&](size_t k) {
        Planned& p = plan[k];
        if (p.folder) return;
        try {
          p.data = archive_.ReadEntryData(p.index);
        } catch (...) {
          p.error = std::current_exception();
        }
      },
      parallel);
  // Folders, up to the first entry that failed to decode.
  size_t end = 0;
  for (; end < plan.size(); ++end) {
    Planned& p = plan[end];
    if (p.error) break;
    const size_t cut = FindLastOf(p.dest, "\\", lead_);
    if (p.folder) {
      EnsureFolder(p.dest);
      continue;
    }
    if (cut + 1 > base.size()) EnsureFolder(p.dest.substr(0, cut + 1));
    p.skip = !p.data || (skip_existing && FileExists(p.dest));
    if (!p.skip) EnsureFolder(temporary_folder);
    p.attributes = FILE_ATTRIBUTE_NORMAL;
    if (ApplyAtributes)
      p.attributes = FILE_ATTRIBUTE_ARCHIVE | (archive_.Entries()[p.index].central.external_attributes &
                                               (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                FILE_ATTRIBUTE_SYSTEM));
  }
  // The temporary files, each with the attributes its destination gets.
  auto write = [&](size_t k) {
    Planned& p = plan[k];
    if (p.folder || p.skip || p.error) return;
    try {
      WriteNewFile(p.temporary, *p.data, p.attributes);
      p.written = true;
    } catch (...) {
      p.error = std::current_exception();
    }
    p.data.reset();
  };
  RunInParallel(end, write, parallel);
  // Renamed into place in archive order; at the first failure the rest is dropped.
  for (size_t k = 0; k < plan.size(); ++k) {
    Planned& p = plan[k];
    if (p.folder || p.skip) continue;
    try {
      if (p.error) std::rethrow_exception(p.error);
      // A read-only file is not replaced (the rename would not refuse it everywhere).
      if (ListedAttributes(p.dest) & FILE_ATTRIBUTE_READONLY)
        throw EFCreateError("Cannot create file " + Quoted(p.dest) + ". " + SystemErrorText(ERROR_ACCESS_DENIED));
      if (!::MoveFileExA(p.temporary.c_str(), p.dest.c_str(), MOVEFILE_REPLACE_EXISTING))
        throw EFCreateError("Cannot create file " + Quoted(p.dest) + ". " + SystemErrorText(::GetLastError()));
      p.written = false;
      listed_[FoldCase(p.dest, lead_)] = p.attributes;
    } catch (...) {
      for (size_t rest = k; rest < plan.size(); ++rest) {
        if (!plan[rest].written) continue;
        ::SetFileAttributesA(plan[rest].temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(plan[rest].temporary.c_str());
      }
      throw;
    }
  }
}

DWORD TVexZip::ListedAttributes(const std::string& path) {
  const size_t cut = FindLastOf(path, "\\", lead_);
  const std::string folder = path.substr(0, cut + 1);
  if (listed_folders_.insert(FoldCase(folder, lead_)).second) {
    // One listing of the folder answers for all its files.
    WIN32_FIND_DATAA item;
    ScopedFindHandle find(::FindFirstFileA((folder + "*").c_str(), &item));
    if (find) {
      do {
        listed_[FoldCase(folder + item.cFileName, lead_)] = item.dwFileAttributes;
      } while (::FindNextFileA(find.Get(), &item));
    }
  }
  auto it = listed_.find(FoldCase(path, lead_));
  return it == listed_.end() ? 0 : it->second;
}

void TVexZip::EnsureFolder(const std::string& folder) {
  if (made_folders_.insert(FoldCase(folder, lead_)).second) {
    try {
      CreateFolderTree(folder);
    } catch (...) {
      made_folders_.erase(FoldCase(folder, lead_));
      throw;
    }
  }
}

}  // namespace n2
