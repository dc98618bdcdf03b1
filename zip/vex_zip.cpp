#include "zip/vex_zip.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

#include "base/exception.h"
#include "base/scoped_handle.h"
#include "base/system_code_page.h"
#include "base/win_error.h"
#include "zip/zip_codec.h"

namespace n2 {
namespace {

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

DosStamp StampOf(const SYSTEMTIME& st) {
  return EncodeDosStamp(LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond});
}

// A file-system time as one number of 100-nanosecond units.
uint64_t TimeOf(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// The distance of local time from UTC now: what FileTimeToLocalFileTime adds
// to any time, taken once for a whole listing (it asks the system each time).
int64_t LocalBias() {
  FILETIME utc, local;
  ::GetSystemTimeAsFileTime(&utc);
  if (!::FileTimeToLocalFileTime(&utc, &local)) return 0;
  return static_cast<int64_t>(TimeOf(local) - TimeOf(utc));
}

// A file-system time (UTC) as a DOS stamp in local time.
DosStamp StampOf(const FILETIME& utc, int64_t local_bias) {
  const uint64_t local = TimeOf(utc) + static_cast<uint64_t>(local_bias);
  const FILETIME time{static_cast<DWORD>(local), static_cast<DWORD>(local >> 32)};
  SYSTEMTIME st;
  if (!::FileTimeToSystemTime(&time, &st)) return {};
  return StampOf(st);
}

uint64_t NowTime() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return TimeOf(now);
}

DosStamp NowStamp() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return StampOf(st);
}

// Archives up to this size are read into memory whole.
constexpr uint64_t kCachedArchiveSize = 64u << 20;

// The threads a pack or unpack works on: one more than the cores, so that
// the cores stay busy while a thread waits for the disk.
size_t WorkerThreads() { return std::max(2u, std::thread::hardware_concurrency()) + 1; }

// Runs work(0) .. work(count - 1) on the pool's threads; returns when all are
// done. Without a pool, everything runs on the calling thread.
void RunInParallel(WorkerPool* pool, size_t count, const std::function<void(size_t)>& work) {
  if (pool) return pool->Run(count, work);
  for (size_t i = 0; i < count; ++i) work(i);
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

// Writes data as the whole content of path, created with the given
// attributes: a temporary file replaces a leftover of an earlier run, a new
// file (must_be_new) is never written over a file that appeared meanwhile:
// then the result is false and nothing is written. On failure nothing is
// left behind, and the error names for_path: the file the user knows (the
// card a temporary file stands for). written_at gets the file's last-write
// time once written.
bool WriteNewFile(const std::string& path, const std::string& data, DWORD attributes, bool must_be_new,
                  const std::string& for_path, uint64_t& written_at) {
  const DWORD disposition = must_be_new ? CREATE_NEW : CREATE_ALWAYS;
  ScopedHandle h(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, attributes, nullptr));
  DWORD error = h ? ERROR_SUCCESS : ::GetLastError();
  if (must_be_new && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)) return false;
  if (!h && !must_be_new && ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL)) {  // a read-only leftover
    h.Attach(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr));
    if (!h) error = ::GetLastError();
  }
  if (!h) throw EFCreateError("Cannot create file " + Quoted(for_path) + ". " + SystemErrorText(error));
  size_t done = 0;
  while (done < data.size()) {
    DWORD put = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
    if (!::WriteFile(h.Get(), data.data() + done, chunk, &put, nullptr) || put == 0) {
      error = ::GetLastError();
      h.Close();
      ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(path.c_str());
      throw EWriteError("Write error on " + Quoted(for_path) + ". " + SystemErrorText(error));
    }
    done += put;
  }
  FILETIME written;
  written_at = ::GetFileTime(h.Get(), nullptr, nullptr, &written) ? TimeOf(written) : 0;
  return true;
}

std::string FullPath(const std::string& path) {
  char buffer[MAX_PATH * 2];
  DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
  if (n == 0 || n >= sizeof buffer) return std::string();
  return std::string(buffer, n);
}

}  // namespace

void FileByteStream::CacheWholeFile() {
  Flush();
  std::string bytes(static_cast<size_t>(file_.Size()), '\0');
  file_.Seek(0);
  bytes.resize(file_.Read(bytes.data(), bytes.size()));
  cache_ = MemoryStream(std::move(bytes));
  cached_ = true;
}

FileByteStream::~FileByteStream() {
  try {
    Flush();
  } catch (const std::exception&) {
    // The archive's writers end with Truncate, which reports the error.
  }
}

uint64_t FileByteStream::Size() {
  if (cached_) return cache_.Size();
  Flush();
  return file_.Size();
}

size_t FileByteStream::ReadAt(uint64_t position, void* buffer, size_t size) {
  if (cached_) return cache_.ReadAt(position, buffer, size);
  Flush();
  file_.Seek(position);
  return file_.Read(buffer, size);
}

void FileByteStream::WriteAt(uint64_t position, const void* data, size_t size) {
  if (size == 0) return;
  cached_ = false;
  cache_ = MemoryStream();
  if (!pending_.empty() && (position != pending_at_ + pending_.size() || pending_.size() + size > kWriteBehind))
    Flush();
  if (size >= kWriteBehind) {  // a block of its own
    file_.Seek(position);
    file_.Write(data, size);
    return;
  }
  if (pending_.capacity() < kWriteBehind) pending_.reserve(kWriteBehind);
  if (pending_.empty()) pending_at_ = position;
  pending_.append(static_cast<const char*>(data), size);
}

void FileByteStream::Truncate(uint64_t size) {
  cached_ = false;
  cache_ = MemoryStream();
  Flush();
  file_.Seek(size);
  file_.Truncate();
}

void FileByteStream::Flush() {
  if (pending_.empty()) return;
  try {
    file_.Seek(pending_at_);
    file_.Write(pending_);
  } catch (...) {
    pending_.clear();
    throw;
  }
  pending_.clear();  // keeps its room for the next bytes
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
    // Reading the directory takes two small reads per entry: from memory,
    // where an archive of a reasonable size fits.
    if (stream_->Size() <= kCachedArchiveSize) stream_->CacheWholeFile();
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

void TVexZip::EnsureFolderEntries(std::string_view entry, uint32_t attributes, DosStamp stamp) {
  // Up to and including the last separator.
  const std::string_view folder = entry.substr(0, FindLastOf(entry, "/", lead_) + 1);
  // The files of one folder follow one another: its entries are there already.
  if (folder == last_folder_ensured_) return;
  last_folder_ensured_ = folder;
  for (size_t end = folder.find('/'); end != std::string::npos; end = folder.find('/', end + 1)) {
    const std::string_view prefix = folder.substr(0, end + 1);
    if (archive_.FindEntry(prefix) < 0) archive_.AddStreamEntry(prefix, attributes, {}, stamp, CompressionLevel());
  }
}

// Adding works in two steps. The listing walks the tree in the order of
// adding and notes each step: a folder entry to make sure of, or a file to
// add. Then the files of a window of steps are read and compressed (or their
// compressed data taken from the previous archive) on several threads, and
// the steps are applied in order, so that the archive is the one that adding
// the entries one at a time gives, and a file that cannot be read fails at
// its own place with the entries before it added. The listing runs on a
// thread of its own and hands its steps over in batches: the first window is
// read while later folders are still being listed.
// The texts of a step lie in the feed's text blocks, which outlive every step.
struct TVexZip::Step {
  enum Kind { kFolder, kFile } kind;
  std::string_view path;  // files only; followed by a NUL, so path.data() is a C string
  std::string_view name;  // the entry name: relative to the root, normalised
  uint32_t attributes;
  DosStamp stamp;
  uint64_t size = 0;
  uint64_t write_time = 0;
};

class TVexZip::StepFeed {
 public:
  // On the listing thread: runs list, which adds the steps, and ends the
  // feed. A stop requested meanwhile ends the listing early.
  void Produce(std::stop_token stop, const std::function<void()>& list) {
    stop_ = std::move(stop);
    std::exception_ptr error;
    try {
      list();
      HandOver();
    } catch (const Stopped&) {
    } catch (...) {
      error = std::current_exception();
    }
    std::lock_guard lock(mutex_);
    finished_ = true;
    error_ = error;
    ready_.notify_one();
  }
  void Add(const Step& step) {
    batch_.push_back(step);
    if (batch_.size() >= kBatch) HandOver();
  }

  // On the listing thread: text kept for a step, and an entry name kept
  // normalised. Listing allocates a block now and then, not texts for each
  // file: allocations on two threads at once wait for each other in the
  // process heap's lock, and the adding thread allocates a lot meanwhile.
  std::string_view Keep(std::string_view text) {
    if (free_ < text.size() + 1) {
      const size_t size = std::max(kTextBlock, text.size() + 1);
      text_blocks_.push_back(std::make_unique<char[]>(size));
      next_ = text_blocks_.back().get();
      free_ = size;
    }
    char* kept = next_;
    std::memcpy(kept, text.data(), text.size());
    kept[text.size()] = '\0';
    next_ += text.size() + 1;
    free_ -= text.size() + 1;
    return {kept, text.size()};
  }
  std::string_view KeepEntryName(std::string_view name, const LeadBytes& lead) {
    NormalizeEntryName(name, lead, name_);
    return Keep(name_);
  }
  // A path built here, before it is kept (reused, so that building allocates nothing).
  std::string& PathBuffer() { return path_; }

  // On the adding thread: appends the steps listed since, waiting for some;
  // false once the listing has ended and every step was taken. An error of
  // the listing is raised here.
  bool Take(std::vector<Step>& steps) {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !listed_.empty() || finished_; });
    if (listed_.empty()) {
      if (error_) std::rethrow_exception(error_);
      return false;
    }
    std::move(listed_.begin(), listed_.end(), std::back_inserter(steps));
    listed_.clear();
    return true;
  }

 private:
  struct Stopped {};
  static constexpr size_t kBatch = 256;
  static constexpr size_t kTextBlock = 64 * 1024;

  void HandOver() {
    if (stop_.stop_requested()) throw Stopped{};
    if (batch_.empty()) return;
    std::lock_guard lock(mutex_);
    std::move(batch_.begin(), batch_.end(), std::back_inserter(listed_));
    batch_.clear();
    ready_.notify_one();
  }

  std::stop_token stop_;
  // The listing thread's own:
  std::vector<Step> batch_;
  std::vector<std::unique_ptr<char[]>> text_blocks_;
  char* next_ = nullptr;  // free space in the last block
  size_t free_ = 0;
  std::string path_, name_;
  // Shared:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<Step> listed_;  // handed over, not yet taken
  bool finished_ = false;
  std::exception_ptr error_;
};

void TVexZip::ListFile(std::string_view path, std::string_view name, const WIN32_FIND_DATAA& found,
                       StepFeed& steps) {
  steps.Add(Step{Step::kFile, steps.Keep(path), steps.KeepEntryName(name, lead_), found.dwFileAttributes,
                 StampOf(found.ftLastWriteTime, local_bias_),
                 (uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow, TimeOf(found.ftLastWriteTime)});
}

void TVexZip::ListFolderTree(const std::string& folder, const std::string& root, bool with_subfolders,
                             const std::string& mask, StepFeed& steps) {
  WIN32_FIND_DATAA item;
  ScopedFindHandle find(::FindFirstFileA((folder + "\\*.*").c_str(), &item));
  if (!find) return;
  // folder\name, in the feed's buffer: there is one for every file.
  auto full_path = [&folder, &steps](std::string_view name) -> const std::string& {
    std::string& full = steps.PathBuffer();
    full.assign(folder);
    full += '\\';
    full += name;
    return full;
  };
  auto add_folder = [&](std::string_view path, const WIN32_FIND_DATAA& found) {
    steps.Add(Step{Step::kFolder, {}, steps.KeepEntryName(RelativePart(path, root, lead_), lead_),
                   found.dwFileAttributes, StampOf(found.ftLastWriteTime, local_bias_)});
  };
  do {
    const std::string_view name = item.cFileName;
    if (name == "..") continue;
    if (name == ".") {
      // The folder being listed gets its own entry, with its attributes and time.
      add_folder(folder + "\\", item);
    } else if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      const std::string full = full_path(name);
      if (StoreFolders && StoreRelativePath) add_folder(full + "\\", item);
      if (with_subfolders) ListFolderTree(full, root, with_subfolders, mask, steps);
    } else {
      const std::string& full = full_path(name);
      if (WildcardMatch(mask, full, lead_)) ListFile(full, RelativePart(full, root, lead_), item, steps);
    }
  } while (::FindNextFileA(find.Get(), &item));
}

// The compressed data of a file that has not changed since the index was
// taken, from the previous archive, when that entry holds what adding the
// file would store; nothing otherwise. Whether the data really holds the
// recorded bytes is proven apart (Proven), unless our own last pack made it.
std::optional<ZipArchive::Prepared> TVexZip::Reusable(const Step& step, ZipArchive* previous) {
  if (!Index || !previous) return std::nullopt;
  const std::optional<uint32_t> crc = Index->TrustedCrc(step.name, step.size, step.write_time);
  const int entry = crc ? previous->FindEntry(step.name) : -1;
  if (entry < 0) return std::nullopt;
  const CentralRecord& c = previous->Entries()[static_cast<size_t>(entry)].central;
  if (c.crc != *crc || c.uncompressed_size != step.size) return std::nullopt;
  std::optional<ZipArchive::Prepared> data = previous->RawEntryData(static_cast<size_t>(entry));
  // Only what adding the file would store: empty files stored, others deflated.
  const bool as_added = data && (data->size == 0 ? data->method == kMethodStored && data->compressed.empty()
                                                 : data->method == kMethodDeflate);
  if (!as_added) return std::nullopt;
  return data;
}

namespace {

// Decodes taken data once to prove it holds the bytes its CRC-32 names.
bool Proven(const ZipArchive::Prepared& data) {
  try {
    std::optional<std::string> bytes = DecodeEntryData(data.method, data.compressed, data.size);
    return bytes && Crc32(*bytes) == data.crc;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

// The previous archive's directory, when there is incremental work to do and
// it can be read; nothing otherwise, and then every file is read again.
std::optional<ZipArchive> TVexZip::ReadPreviousArchive() const {
  if (!Index || !PreviousArchive) return std::nullopt;
  try {
    std::optional<ZipArchive> previous(std::in_place, lead_);
    if (previous->Read(*PreviousArchive)) return previous;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void TVexZip::ApplySteps(StepFeed& feed, ZipArchive* previous, WorkerPool& pool) {
  constexpr size_t kWindow = 512;  // files read ahead at most
  // and the bytes they hold, as listed: a window holds its files' data and
  // their compressed copies, and two windows are held at once (one applied
  // while the next is read), so a few large cards (photos) fill one before
  // 512 small ones would.
  constexpr uint64_t kWindowBytes = 16u << 20;
  const int level = CompressionLevel();
  const DosStamp now = NowStamp();
  FileIndex packed(lead_);
  struct Work {
    size_t file;
    bool taken;  // prepared from the previous archive, still to be proven
  };
  struct Window {
    size_t first, last;         // its steps
    std::vector<size_t> files;  // the steps that are files
    std::vector<ZipArchive::Prepared> prepared;
    std::vector<std::exception_ptr> errors;
    std::vector<Work> work;  // what the pool's threads do for it
  };
  std::vector<Step> steps;
  bool listing = true;
  size_t planned = 0;  // steps in windows so far

  // The next window of listed steps; nothing once every step is in one.
  // Taking data from the previous archive is a lookup and a copy, done here;
  // the pool's threads prove data our own last pack did not make, and read
  // and compress the files that changed.
  auto plan = [&]() -> std::optional<Window> {
    while (listing && steps.size() - planned < kWindow) listing = feed.Take(steps);
    if (planned == steps.size()) return std::nullopt;
    Window w{planned, planned, {}, {}, {}, {}};
    uint64_t bytes = 0;
    while (w.last < steps.size() && w.files.size() < kWindow) {
      if (steps[w.last].kind == Step::kFile) {
        if (!w.files.empty() && bytes + steps[w.last].size > kWindowBytes) break;
        bytes += steps[w.last].size;
        w.files.push_back(w.last);
      }
      ++w.last;
    }
    planned = w.last;
    w.prepared.resize(w.files.size());
    w.errors.resize(w.files.size());
    for (size_t i = 0; i < w.files.size(); ++i) {
      std::optional<ZipArchive::Prepared> reused = Reusable(steps[w.files[i]], previous);
      if (reused) w.prepared[i] = std::move(*reused);
      if (!reused || !PreviousArchiveIsPacked) w.work.push_back(Work{i, reused.has_value()});
    }
    return w;
  };
  auto prepare = [&](Window& w, const Work& work) {
    const Step& step = steps[w.files[work.file]];
    ZipArchive::Prepared& prepared = w.prepared[work.file];
    try {
      if (work.taken) {
        if (Proven(prepared)) return;
        prepared = {};
      }
      prepared = ZipArchive::Prepare(ReadWholeFile(std::string(step.path)), level);
    } catch (...) {
      w.errors[work.file] = std::current_exception();
    }
  };
  auto apply = [&](Window& w) {
    for (size_t i = w.first, file = 0; i < w.last; ++i) {
      const Step& step = steps[i];
      if (step.kind == Step::kFolder) {
        EnsureFolderEntries(step.name, step.attributes, step.stamp);
        continue;
      }
      const size_t k = file++;
      if (w.errors[k]) {
        // A file deleted since the listing is no longer part of the tree.
        if (::GetFileAttributesA(step.path.data()) == INVALID_FILE_ATTRIBUTES) {
          const DWORD error = ::GetLastError();
          if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        }
        std::rethrow_exception(w.errors[k]);
      }
      std::string_view name = step.name;
      if (!StoreRelativePath) name.remove_prefix(FindLastOf(name, "/", lead_) + 1);
      if (StoreFolders && StoreRelativePath) EnsureFolderEntries(name, kAttrFolder, now);
      archive_.AddPreparedEntry(name, step.attributes, w.prepared[k], step.stamp);
      packed.Set(std::string(step.name), IndexedFile{w.prepared[k].size, step.write_time, step.attributes, w.prepared[k].crc});
    }
  };

  // Each window is applied while the next one is read: one batch of the pool
  // does both, the applying as its first item. A failure of the applying is
  // raised once the batch is done.
  std::optional<Window> ready;
  for (;;) {
    std::optional<Window> next = plan();
    if (!next && !ready) break;
    const size_t applying = ready ? 1 : 0;
    std::exception_ptr failed;
    RunInParallel(&pool, applying + (next ? next->work.size() : 0), [&](size_t item) {
      if (item >= applying) return prepare(*next, next->work[item - applying]);
      try {
        apply(*ready);
      } catch (...) {
        failed = std::current_exception();
      }
    });
    if (failed) std::rethrow_exception(failed);
    ready = std::move(next);
  }
  if (Index) {
    packed.SetTakenAt(NowTime());
    packed.SetPackedArchive(std::nullopt);  // the owner stamps the archive once it is closed
    *Index = std::move(packed);
  }
}

void TVexZip::AddPathList(const std::vector<std::string>& paths, const std::string& root, bool with_subfolders) {
  RequireWritable();
  local_bias_ = LocalBias();
  last_folder_ensured_.clear();
  archive_.BeginBatch();
  try {
    StepFeed steps;
    // Joined before the feed goes; a stop is asked first, should adding fail.
    std::jthread lister([&](std::stop_token stop) {
      steps.Produce(std::move(stop), [&] {
        for (const std::string& path : paths) {
          WIN32_FIND_DATAA found;
          ScopedFindHandle find(::FindFirstFileA(path.c_str(), &found));
          if (!find) continue;
          if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!IsDotName(found.cFileName)) ListFolderTree(path, root, with_subfolders, "*.*", steps);
          } else {
            ListFile(path, RelativePart(path, root, lead_), found, steps);  // a listed file needs no mask
          }
        }
      });
    });
    // The owner's preparations and the previous archive's directory are
    // read while the tree is listed.
    if (OnListingTree) OnListingTree();
    std::optional<ZipArchive> previous = ReadPreviousArchive();
    WorkerPool pool(WorkerThreads());
    ApplySteps(steps, previous ? &*previous : nullptr, pool);
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

// Extraction works in windows of entries, bounded in number and in the bytes
// their data takes once decoded. For each file entry the local file is looked
// up in its folder's listing and the decider (or the default rule: write it)
// chooses; a file that already holds the entry's bytes is left alone, and
// only its attributes are set. Decoding and checking the entries that must be
// written, and writing them to temporary files (in a folder of their own in
// the target: a small folder keeps creating them cheap, and renaming out of
// it is atomic too) run on several threads; a new file, which has no old
// content to protect, is written straight to its name. Then the entries are
// committed one by one in archive order: temporary files renamed over their
// destinations, attributes set. An entry that fails before the commits (its
// data damaged, the disk full, the local file unreadable, or held open by
// another program) leaves its whole window unapplied; one that still fails at
// its commit stops the extraction at its own place: the entries before it are
// in place, later ones are not. Either way earlier windows stay applied, and
// no destination is ever left partly written.
struct TVexZip::Planned {
  size_t index = 0;
  std::string dest;
  bool folder = false;  // a folder to create, no data
  // What happens to a file entry.
  enum Mode { kWrite, kUnchanged, kKeep, kCopy } mode = kWrite;
  bool replace_read_only = false;
  std::string copy_path;
  LocalFile local;
  std::optional<uint32_t> local_crc;  // once read
  std::optional<std::string> data;
  std::string temporary;
  bool straight = false;  // written straight to its destination (a new file)
  DWORD attributes = 0;   // what the file gets
  bool written = false;   // the temporary (or new) file exists
  uint64_t written_at = 0;  // its last-write time
  std::exception_ptr error;
};

void TVexZip::ExtractArchiveTo(const std::string& target) {
  Extracted = TExtractCounts{};
  if (!stream_ || !archive_.IsZip()) return;
  const std::string base = WithSeparator(target);
  const std::string full_base = WithSeparator(FullPath(base));
  // Threads may only share the archive's bytes when they are held in memory.
  std::optional<WorkerPool> pool;
  if (stream_->Size() <= kCachedArchiveSize) {
    stream_->CacheWholeFile();
    pool.emplace(WorkerThreads());
  }
  made_folders_.clear();
  listed_.clear();
  listed_folders_.clear();
  last_listed_folder_.clear();
  const std::string temporary_folder = base + "~N2Unpack.tmp\\";
  struct RemoveWhenDone {
    const std::string& folder;
    ~RemoveWhenDone() { ::RemoveDirectoryA(folder.c_str()); }
  } remove_when_done{temporary_folder};
  struct TakeIndexWhenDone {
    FileIndex* index;
    ~TakeIndexWhenDone() {
      if (index) index->SetTakenAt(NowTime());
    }
  } take_index_when_done{Index};
  constexpr size_t kWindow = 256;
  constexpr uint64_t kWindowBytes = 32u << 20;  // decoded data held at once
  const size_t count = archive_.Entries().size();
  for (size_t first = 0; first < count;) {
    std::vector<Planned> plan;
    CaseBlindSet names = MakeCaseBlindSet(lead_);  // destinations of the window
    bool clash = false;
    uint64_t bytes = 0;
    size_t last = first;
    for (; last < count && last - first < kWindow; ++last) {
      const ZipEntry& entry = archive_.Entries()[last];
      if (last > first && bytes + entry.central.uncompressed_size > kWindowBytes) break;
      std::optional<ExtractPath> where = SafeExtractPath(entry.central.name, lead_);
      if (!where) continue;  // a name that leads outside the target is never written
      Planned p;
      p.index = last;
      p.dest = base + where->folder + where->file;
      const std::string full = FullPath(p.dest);
      const bool inside = full.size() > full_base.size() && StartsCaseBlind(full, full_base, lead_);
      if (!inside && !(where->file.empty() && where->folder.empty())) continue;
      if (StartsCaseBlind(p.dest, temporary_folder, lead_)) continue;  // our own working folder
      p.folder = entry.Folder() || where->file.empty();
      if (!p.folder) {
        bytes += entry.central.uncompressed_size;
        p.temporary = temporary_folder + std::to_string(last);
        clash |= !names.insert(p.dest).second;
      }
      plan.push_back(std::move(p));
    }
    if (clash && last - first > 1) {
      // Two entries of the window would meet in one file: take them one at a time.
      std::erase_if(plan, [&](const Planned& p) { return p.index != first; });
      last = first + 1;
    }
    ExtractWindow(plan, base, temporary_folder, pool ? &*pool : nullptr);
    first = last;
  }
  made_folders_.clear();
}

// Chooses what happens to a file entry: the decider's choice, then, for an
// entry to write, whether the local file already holds its bytes.
void TVexZip::Decide(Planned& p) {
  const ZipEntry& entry = archive_.Entries()[p.index];
  Planned* self = &p;
  p.local.crc = [self] {
    if (!self->local_crc) self->local_crc = Crc32(ReadWholeFile(self->dest));
    return *self->local_crc;
  };
  const bool skip_existing =
      OverwriteAction == TOverwriteAction::oaSkip || OverwriteAction == TOverwriteAction::oaSkipAll;
  TExtractChoice choice;
  if (skip_existing && p.local.exists)
    choice.Action = TExtractAction::eaKeep;
  else if (OnDecideEntry)
    choice = OnDecideEntry(entry, p.local);
  switch (choice.Action) {
    case TExtractAction::eaKeep: p.mode = Planned::kKeep; break;
    case TExtractAction::eaSaveCopy:
      p.mode = Planned::kCopy;
      p.copy_path = choice.CopyPath;
      break;
    case TExtractAction::eaWrite:
      p.replace_read_only = choice.ReplaceReadOnly;
      p.mode = p.local.exists && p.local.size == entry.central.uncompressed_size &&
                       p.local.Crc() == entry.central.crc
                   ? Planned::kUnchanged
                   : Planned::kWrite;
      break;
  }
  p.attributes = FILE_ATTRIBUTE_NORMAL;
  if (ApplyAtributes)
    p.attributes = FILE_ATTRIBUTE_ARCHIVE | (entry.central.external_attributes &
                                             (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
}

void TVexZip::ExtractWindow(std::vector<Planned>& plan, const std::string& base,
                            const std::string& temporary_folder, WorkerPool* pool) {
  // The local files as listed, with the checksums the index vouches for.
  // Those of the same size as their entries, which the choice will likely
  // compare, are read ahead on several threads.
  std::vector<size_t> to_read;
  for (size_t k = 0; k < plan.size(); ++k) {
    Planned& p = plan[k];
    if (p.folder) continue;
    p.local = Listed(p.dest);
    const CentralRecord& c = archive_.Entries()[p.index].central;
    if (!p.local.exists) continue;
    if (Index)
      p.local_crc = Index->TrustedCrc(NormalizeEntryName(c.name, lead_), p.local.size, p.local.write_time);
    if (!p.local_crc && p.local.size == c.uncompressed_size) to_read.push_back(k);
  }
  RunInParallel(
      pool, to_read.size(),
      [&](size_t i) {
        Planned& p = plan[to_read[i]];
        try {
          p.local_crc = Crc32(ReadWholeFile(p.dest));
        } catch (const std::exception&) {
          // The choice reads it again if it needs it, and meets the error then.
        }
      });
  // Choose, in order; reading a local file's checksum may fail like any
  // entry, and nothing after it is done then.
  for (size_t k = 0; k < plan.size(); ++k) {
    if (plan[k].folder) continue;
    try {
      Decide(plan[k]);
    } catch (...) {
      plan[k].error = std::current_exception();
      for (size_t rest = k + 1; rest < plan.size(); ++rest) plan[rest].mode = Planned::kKeep;
      break;
    }
  }
  auto needs_data = [](const Planned& p) {
    return !p.folder && !p.error && (p.mode == Planned::kWrite || p.mode == Planned::kCopy);
  };
  std::vector<size_t> to_decode;
  for (size_t k = 0; k < plan.size(); ++k)
    if (needs_data(plan[k])) to_decode.push_back(k);
  // Decode and check what must be written; nothing is written yet.
  RunInParallel(
      pool, to_decode.size(),
      [&](size_t i) {
        Planned& p = plan[to_decode[i]];
        try {
          p.data = archive_.ReadEntryData(p.index);
        } catch (...) {
          p.error = std::current_exception();
        }
      });
  // Folders, up to the first entry that failed.
  size_t end = 0;
  for (; end < plan.size(); ++end) {
    Planned& p = plan[end];
    if (p.error) break;
    if (p.folder) {
      EnsureFolder(p.dest);
      continue;
    }
    if (!needs_data(p) || !p.data) continue;  // a cut entry is skipped
    const std::string& to = p.mode == Planned::kCopy ? p.copy_path : p.dest;
    const size_t cut = FindLastOf(to, "\\", lead_);
    if (p.mode == Planned::kCopy || cut + 1 > base.size()) EnsureFolder(to.substr(0, cut + 1));
    p.straight = p.mode == Planned::kCopy || !p.local.exists;
    // Also for a new file: should one appear meanwhile, the entry takes the temporary way.
    if (p.mode == Planned::kWrite) EnsureFolder(temporary_folder);
  }
  // The new files and the temporary ones, each with the attributes its destination gets.
  std::vector<size_t> to_write;
  for (size_t k = 0; k < end; ++k)
    if (needs_data(plan[k]) && plan[k].data) to_write.push_back(k);
  auto write = [&](size_t i) {
    Planned& p = plan[to_write[i]];
    try {
      if (p.mode == Planned::kCopy) {
        if (!WriteNewFile(p.copy_path, *p.data, p.attributes, true, p.copy_path, p.written_at))
          throw EFCreateError("Cannot create file " + Quoted(p.copy_path) + ". " + SystemErrorText(ERROR_FILE_EXISTS));
      } else if (!p.straight || !WriteNewFile(p.dest, *p.data, p.attributes, true, p.dest, p.written_at)) {
        p.straight = false;
        WriteNewFile(p.temporary, *p.data, p.attributes, false, p.dest, p.written_at);
      }
      p.written = true;
    } catch (...) {
      p.error = std::current_exception();
    }
    p.data.reset();
  };
  RunInParallel(pool, to_write.size(), write);
  // What was written for entries from first on is taken back: temporary
  // files, copies, and new files (nothing stood at their names before).
  auto take_back = [&](size_t first) {
    for (size_t rest = first; rest < plan.size(); ++rest) {
      Planned& r = plan[rest];
      if (!r.written) continue;
      const std::string& made = r.mode == Planned::kCopy ? r.copy_path : r.straight ? r.dest : r.temporary;
      ::SetFileAttributesA(made.c_str(), FILE_ATTRIBUTE_NORMAL);
      ::DeleteFileA(made.c_str());
      r.written = false;
    }
  };
  // A file that another program holds open without letting it be replaced
  // would stop the commits half-way: found now, it fails the window first.
  for (Planned& p : plan) {
    if (p.error || !p.written || p.straight || p.mode != Planned::kWrite) continue;
    ScopedHandle probe(::CreateFileA(p.dest.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
    const DWORD error = probe ? ERROR_SUCCESS : ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
      p.error = std::make_exception_ptr(
          EFCreateError("Cannot create file " + Quoted(p.dest) + ". " + SystemErrorText(error)));
  }
  // A window is put in place whole or not at all: when any of its entries
  // failed so far (a local file that cannot be read or replaced, damaged
  // data, a full disk), none of them is, so that the book does not mix two
  // states.
  for (const Planned& p : plan) {
    if (!p.error) continue;
    take_back(0);
    std::rethrow_exception(p.error);
  }
  // Committed in archive order; at the first failure (a file that cannot be
  // replaced) the rest is dropped.
  for (size_t k = 0; k < plan.size(); ++k) {
    Planned& p = plan[k];
    if (p.folder) continue;
    try {
      Commit(p);
    } catch (...) {
      take_back(k);
      throw;
    }
  }
}

// Puts one file entry's outcome in place and notes it in the index.
void TVexZip::Commit(Planned& p) {
  const ZipEntry& entry = archive_.Entries()[p.index];
  const std::string name = NormalizeEntryName(entry.central.name, lead_);
  auto note = [&](LocalFile file, uint32_t crc) {
    file.crc = nullptr;  // the planned entry that answers it is gone after this window
    listed_.insert_or_assign(p.dest, file);
    if (Index) Index->Set(name, IndexedFile{file.size, file.write_time, file.attributes, crc});
  };
  switch (p.mode) {
    case Planned::kKeep:
    case Planned::kCopy:
      if (p.mode == Planned::kCopy && p.written) ++Extracted.Copies;
      if (p.mode == Planned::kKeep) ++Extracted.Kept;
      p.written = false;
      if (p.local.exists && p.local_crc) note(p.local, *p.local_crc);
      Extracted.Settled.push_back(p.index);
      return;
    case Planned::kUnchanged: {
      const DWORD counted = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
      LocalFile now = p.local;
      if (ApplyAtributes && (p.local.attributes & counted) != (p.attributes & counted)) {
        if (!::SetFileAttributesA(p.dest.c_str(), p.attributes))
          throw EInOutError("Cannot set the attributes of " + Quoted(p.dest) + ". " +
                            SystemErrorText(::GetLastError()));
        now.attributes = p.attributes;
      }
      ++Extracted.Unchanged;
      note(now, entry.central.crc);
      Extracted.Settled.push_back(p.index);
      return;
    }
    case Planned::kWrite:
      break;
  }
  if (!p.written) return;  // a cut entry: nothing to write
  if (!p.straight) {
    // A read-only file is only replaced when the decider allows it (the
    // rename would not refuse it everywhere).
    if (p.local.attributes & FILE_ATTRIBUTE_READONLY) {
      if (!p.replace_read_only)
        throw EFCreateError("Cannot create file " + Quoted(p.dest) + ". " + SystemErrorText(ERROR_ACCESS_DENIED));
      ::SetFileAttributesA(p.dest.c_str(), p.local.attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    if (!::MoveFileExA(p.temporary.c_str(), p.dest.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      const DWORD error = ::GetLastError();
      if (p.local.attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesA(p.dest.c_str(), p.local.attributes);
      throw EFCreateError("Cannot create file " + Quoted(p.dest) + ". " + SystemErrorText(error));
    }
  }
  p.written = false;
  ++Extracted.Written;
  Extracted.Settled.push_back(p.index);
  // The time the file got when written (a rename keeps it): should the system
  // change it later after all, the index only fails to vouch for the file.
  LocalFile now;
  now.exists = true;
  now.attributes = p.attributes;
  now.size = entry.central.uncompressed_size;
  now.write_time = p.written_at;
  note(now, entry.central.crc);
}

LocalFile TVexZip::Listed(const std::string& path) {
  const size_t cut = FindLastOf(path, "\\", lead_);
  const std::string folder = path.substr(0, cut + 1);
  if (folder != last_listed_folder_ && listed_folders_.insert(folder).second) {
    // One listing of the folder answers for all its files.
    WIN32_FIND_DATAA item;
    ScopedFindHandle find(::FindFirstFileA((folder + "*").c_str(), &item));
    if (find) {
      do {
        if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        LocalFile file;
        file.exists = true;
        file.size = (uint64_t{item.nFileSizeHigh} << 32) | item.nFileSizeLow;
        file.write_time = TimeOf(item.ftLastWriteTime);
        file.attributes = item.dwFileAttributes;
        listed_.insert_or_assign(folder + item.cFileName, file);
      } while (::FindNextFileA(find.Get(), &item));
    }
  }
  last_listed_folder_ = folder;
  auto it = listed_.find(path);
  return it == listed_.end() ? LocalFile{} : it->second;
}

void TVexZip::EnsureFolder(const std::string& folder) {
  if (made_folders_.insert(folder).second) {
    try {
      CreateFolderTree(folder);
    } catch (...) {
      made_folders_.erase(folder);
      throw;
    }
  }
}

}  // namespace n2
