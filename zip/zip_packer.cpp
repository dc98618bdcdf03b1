#include "zip/zip_packer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>
#include <utility>

#include "base/thread_cache.h"
#include "base/worker_pool.h"
#include "zip/zip_codec.h"

namespace n2 {
namespace {

// Previous archives up to this size are read into memory whole; larger ones
// are read where they lie.
constexpr uint64_t kCachedArchiveSize = 16u << 20;

// The threads a pack works on: one more than the cores, so that the cores
// stay busy while a thread waits for the disk.
size_t WorkerThreads() { return std::max(2u, std::thread::hardware_concurrency()) + 1; }

// Packing works in two steps. The listing walks the tree in the order of
// adding and notes each step: a folder entry to make sure of, or a file to
// add. Then the files of a window of steps are read and compressed (or their
// compressed data taken from the previous archive) on several threads, and
// the steps are applied in order, so that the archive is the one that adding
// the entries one at a time gives, and a file that cannot be read fails at
// its own place. The listing runs on a thread of its own and hands its steps
// over in batches: the first window is read while later folders are still
// being listed.
// The texts of a step lie in the feed's text blocks, which outlive every step.
struct Step {
  enum Kind { kFolder, kFile } kind;
  // Files only, and only when it is not the root followed by the name with
  // "\" between folders (PathOf): a book of 60,000 cards keeps no paths.
  std::string_view path;
  std::string_view name;  // the entry name: relative to the root, normalised
  FileStamp stamp;        // as listed
};

class StepFeed {
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
    if (free_ < text.size()) {
      const size_t size = std::max(kTextBlock, text.size());
      text_blocks_.push_back(std::make_unique<char[]>(size));
      next_ = text_blocks_.back().get();
      free_ = size;
    }
    char* kept = next_;
    std::memcpy(kept, text.data(), text.size());
    next_ += text.size();
    free_ -= text.size();
    return {kept, text.size()};
  }
  std::string_view KeepEntryName(std::string_view name, const LeadBytes& lead) {
    NormalizeEntryName(name, lead, name_);
    return Keep(name_);
  }
  // A path built here, before it is kept (reused, so that building allocates nothing).
  std::string& PathBuffer() { return path_; }

  // On the adding thread: appends the steps listed since, waiting for some
  // unless told not to; false once the listing has ended and every step was
  // taken. An error of the listing is raised here.
  bool Take(std::vector<Step>& steps, bool wait = true) {
    std::unique_lock lock(mutex_);
    if (wait) ready_.wait(lock, [this] { return !listed_.empty() || finished_; });
    // A listing that failed fails the pack at once: its error (a card too
    // large, too many entries) is one to tell before anything is compressed.
    if (error_) std::rethrow_exception(error_);
    if (listed_.empty()) return !finished_;
    std::move(listed_.begin(), listed_.end(), std::back_inserter(steps));
    listed_.clear();
    return true;
  }
  // On the adding thread: raises the listing's error, if it failed.
  void RaiseIfFailed() {
    std::lock_guard lock(mutex_);
    if (error_) std::rethrow_exception(error_);
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

// Decodes taken data once to prove it holds the bytes its CRC-32 names.
bool Proven(const ZipArchive::Prepared& data) {
  try {
    std::optional<std::string> bytes = DecodeEntryData(data.method, data.compressed, data.size);
    return bytes && Crc32(*bytes) == data.crc;
  } catch (const std::exception&) {
    return false;
  }
}

// Whether a file is too large to be held in memory: it is compressed (or
// its data copied) in pieces.
bool Streamed(uint64_t size) { return size > kStreamedEntrySize; }

// Frees the compressors a pack kept for its next entry, however it ends.
struct ReleaseCodersWhenDone {
  ~ReleaseCodersWhenDone() { ReleaseDeflateCoders(); }
};

class Packer {
 public:
  explicit Packer(const PackRequest& request)
      : request_(request),
        fs_(*request.fs),
        lead_(*request.lead),
        archive_(lead_),
        folders_(MakeCaseBlindSet(lead_)),
        packed_(lead_) {}

  PackResult Run();

 private:
  void ListFolderTree(const std::string& folder, StepFeed& feed, bool top);
  // Whether path is the root followed by name with "\" for each "/" (no
  // second byte of a double-byte character is "/").
  bool PathFollowsName(std::string_view path, std::string_view name) const {
    if (path.size() != request_.root.size() + name.size() || path.substr(0, request_.root.size()) != request_.root)
      return false;
    for (size_t i = 0; i < name.size(); ++i)
      if (path[request_.root.size() + i] != (name[i] == '/' ? '\\' : name[i])) return false;
    return true;
  }
  // The file a step packs.
  std::string PathOf(const Step& step) const {
    if (!step.path.empty()) return std::string(step.path);
    std::string path = request_.root;
    for (const char c : step.name) path += c == '/' ? '\\' : c;
    return path;
  }
  // Reads the previous archive's directory (and its bytes, when it is not
  // large); a missing or damaged archive leaves nothing to take.
  void ReadPrevious(const std::string& path);
  // Takes what the owner tells of the previous archive; without an index
  // nothing of it is taken.
  void TakePrevious(std::optional<PackPrevious> previous);
  std::optional<ZipArchive::RawData> ReusableRaw(const Step& step);
  // Reusable data read into memory.
  std::optional<ZipArchive::Prepared> Copied(const ZipArchive::RawData& raw);
  ZipArchive::Written TakeInPieces(const ZipArchive::RawData& raw, ByteStream& archive, uint64_t position);
  ZipArchive::Written DeflateInPieces(const Step& step, ByteStream& archive, uint64_t position, FileStamp& read);
  void AddStreamed(const Step& step, DosStamp now);
  void ApplySteps(StepFeed& feed);
  void EnsureFolderEntries(std::string_view entry, uint32_t attributes, DosStamp stamp);
  // A file-system time (UTC) as a DOS stamp in local time.
  DosStamp StampOf(uint64_t time) const {
    return EncodeDosStamp(CalendarTime(time + static_cast<uint64_t>(local_bias_)));
  }

  const PackRequest& request_;
  TFileSystem& fs_;
  const LeadBytes& lead_;
  // Local time's distance from UTC, taken once for the whole pack.
  int64_t local_bias_ = 0;
  // The file system's time when the listing began; set by the listing thread.
  uint64_t listed_at_ = 0;
  std::unique_ptr<FileStream> stream_;
  ZipArchive archive_;
  std::string last_folder_ensured_;
  // The folder entries added so far: the archive's own lookup of names would
  // index all of them.
  CaseBlindSet folders_;
  // What the last pack or unpack left: its index, and its archive when that
  // could be read (in memory, or on its stream when it is large).
  const FileIndex* index_ = nullptr;
  std::optional<MemoryStream> previous_bytes_;
  std::unique_ptr<FileStream> previous_stream_;
  ByteStream* previous_source_ = nullptr;
  // Where each entry's data lies in it (the first entry of a name; nothing
  // for one whose data a plain add would not make), sorted by a 64-bit hash
  // of the name folded: all a pack takes of it, a few dozen bytes an entry.
  // Two names of one hash take nothing. (Data is taken only where the index
  // vouches for the same checksum and size besides.)
  struct PreviousEntry {
    uint64_t hash;
    std::optional<ZipArchive::RawData> raw;
  };
  std::optional<std::vector<PreviousEntry>> previous_;
  uint64_t NameHash(std::string_view name) const { return FoldedNameHash(name, lead_); }
  bool previous_is_proven_ = false;
  // The previous archive could not be read when a file's data was taken:
  // the files left are read. Set by the planning and by the adding thread.
  std::atomic<bool> previous_failed_{false};
  // Entries the listing found so far (on the listing thread).
  uint64_t listed_entries_ = 0;
  FileIndex packed_;
  size_t files_read_ = 0;
};

PackResult Packer::Run() {
  ReleaseCodersWhenDone release_coders;
  local_bias_ = fs_.LocalTimeBias();
  StepFeed feed;
  // The tree is listed beside; should adding fail, a stop is asked and the
  // listing waited for before the feed goes.
  std::unique_ptr<ThreadCache> own_threads;
  ThreadCache& threads = ThreadCache::GivenOrOwn(request_.threads, own_threads);
  std::stop_source stop_listing;
  ThreadCache::Task lister = threads.Start([&] {
    feed.Produce(stop_listing.get_token(), [&] {
      // The clock is read in the root, not in the packed folder: the file it
      // makes there would change the folder's time, which its entry keeps.
      listed_at_ = fs_.FileSystemNow(request_.root);
      ListFolderTree(request_.folder, feed, true);
      if (listed_entries_ > kMaxEntries)
        throw EArchiveLimit("The address book holds " + GroupedNumber(listed_entries_) +
                            " cards and folders; an archive holds at most " + GroupedNumber(kMaxEntries));
    });
  });
  struct StopWhenLeaving {
    std::stop_source& source;
    ~StopWhenLeaving() { source.request_stop(); }
  } stop_when_leaving{stop_listing};
  // The owner's index and the previous archive's directory are read at once,
  // while the tree is listed.
  {
    std::optional<PackPrevious> previous;
    const auto read_archive = [&] {
      if (!request_.previous_archive.empty()) ReadPrevious(request_.previous_archive);
    };
    if (request_.previous)
      RunBeside([&] { previous = request_.previous(); }, read_archive, request_.threads);
    else
      read_archive();
    TakePrevious(previous);
  }

  stream_ = fs_.CreateStream(request_.archive);
  const std::string empty = EncodeEndRecord(EndRecord{});
  stream_->WriteAt(0, empty.data(), empty.size());
  if (!archive_.Read(*stream_)) throw EWriteError("Write error on \"" + request_.archive + "\"");
  if (previous_) archive_.ReserveEntries(previous_->size() + 64);
  archive_.BeginBatch();
  ApplySteps(feed);
  lister.Wait();
  archive_.EndBatch();
  stream_->Sync();
  if (request_.growing) request_.growing->Whole(stream_->Size());

  packed_.SetTakenAt(listed_at_);
  packed_.SetProvenArchive(std::nullopt);  // the owner stamps the archive once it is in place
  return PackResult{archive_.TakeEntries(), std::move(packed_), files_read_};
}

void Packer::ListFolderTree(const std::string& folder, StepFeed& feed, bool top) {
  // folder\name, in the feed's buffer: there is one for every file.
  auto full_path = [&folder, &feed](std::string_view name) -> const std::string& {
    std::string& full = feed.PathBuffer();
    full.assign(folder);
    full += '\\';
    full += name;
    return full;
  };
  // Each step is an entry of the archive. Past the most an archive holds,
  // the tree is only counted, for the message.
  auto add = [&](const Step& step) {
    if (++listed_entries_ <= kMaxEntries) feed.Add(step);
  };
  auto add_folder = [&](std::string_view path, const FileStamp& stamp) {
    if (listed_entries_ >= kMaxEntries) return add(Step{});
    add(Step{Step::kFolder, {}, feed.KeepEntryName(RelativePart(path, request_.root, lead_), lead_), stamp});
  };
  fs_.List(folder, [&](const ListedItem& item) {
    if (item.name == ".") {
      // The packed folder gets its own entry, with its attributes and time;
      // a subfolder has had its own from its parent's listing.
      if (top) add_folder(folder + "\\", item.stamp);
    } else if (item.stamp.Folder()) {
      const std::string full = full_path(item.name);
      add_folder(full + "\\", item.stamp);
      ListFolderTree(full, feed, false);
    } else {
      // Only names with a "." somewhere in the full path ("*.*").
      const std::string& full = full_path(item.name);
      if (!WildcardMatch("*.*", full, lead_)) return;
      if (item.stamp.size > kMaxEntrySize)
        throw EArchiveLimit("The card \"" + full + "\" holds " + GroupedNumber(item.stamp.size) +
                            " bytes; an archive holds cards of at most " + GroupedNumber(kMaxEntrySize) + " bytes");
      if (listed_entries_ >= kMaxEntries) return add(Step{});
      const std::string_view name = feed.KeepEntryName(RelativePart(full, request_.root, lead_), lead_);
      add(Step{Step::kFile, PathFollowsName(full, name) ? std::string_view() : feed.Keep(full), name, item.stamp});
    }
  });
}

void Packer::TakePrevious(std::optional<PackPrevious> previous) {
  if (previous && previous->index) {
    index_ = previous->index;
    previous_is_proven_ = previous->archive_is_proven;
    return;
  }
  previous_.reset();
  previous_source_ = nullptr;
  previous_stream_.reset();
  previous_bytes_.reset();
}

void Packer::ReadPrevious(const std::string& path) {
  try {
    std::unique_ptr<FileStream> stream = fs_.OpenStream(path);
    const uint64_t size = stream->Size();
    if (size <= kCachedArchiveSize) {
      // Reading the directory takes two small reads per entry: from memory.
      std::string bytes(static_cast<size_t>(size), '\0');
      bytes.resize(stream->ReadAt(0, bytes.data(), bytes.size()));
      previous_bytes_.emplace(std::move(bytes));
    } else {
      previous_stream_ = std::move(stream);
    }
    previous_source_ = previous_stream_ ? static_cast<ByteStream*>(previous_stream_.get()) : &*previous_bytes_;
    ZipArchive archive(lead_);
    if (!archive.Read(*previous_source_)) return;
    const std::vector<ZipEntry>& entries = archive.Entries();
    std::vector<std::pair<uint64_t, size_t>> order;  // hash, entry
    order.reserve(entries.size());
    std::string name;
    for (size_t i = 0; i < entries.size(); ++i) {
      NormalizeEntryName(entries[i].central.name, lead_, name);
      order.emplace_back(NameHash(name), i);
    }
    std::sort(order.begin(), order.end());
    previous_.emplace();
    previous_->reserve(order.size());
    const CaseBlindEqual same(lead_);
    for (size_t i = 0; i < order.size();) {
      size_t end = i + 1;
      bool one_name = true;
      // Names of one hash (rare) are compared.
      if (end < order.size() && order[end].first == order[i].first) {
        const std::string first = NormalizeEntryName(entries[order[i].second].central.name, lead_);
        for (; end < order.size() && order[end].first == order[i].first; ++end)
          one_name = one_name && same(first, NormalizeEntryName(entries[order[end].second].central.name, lead_));
      }
      previous_->push_back(
          PreviousEntry{order[i].first, one_name ? archive.RawEntry(order[i].second) : std::nullopt});
      i = end;
    }
  } catch (const std::exception&) {
    previous_.reset();
  }
}

// Where the compressed data of a file that has not changed since the index
// was taken lies in the previous archive, when that entry holds what adding
// the file would store; nothing otherwise. Whether the data really holds the
// recorded bytes is proven apart, unless the whole archive is known to.
std::optional<ZipArchive::RawData> Packer::ReusableRaw(const Step& step) {
  if (!previous_ || previous_failed_) return std::nullopt;
  const std::optional<uint32_t> crc = index_->TrustedCrc(step.name, step.stamp.size, step.stamp.write_time);
  if (!crc) return std::nullopt;
  const uint64_t hash = NameHash(step.name);
  const auto found = std::lower_bound(previous_->begin(), previous_->end(), hash,
                                      [](const PreviousEntry& e, uint64_t h) { return e.hash < h; });
  if (found == previous_->end() || found->hash != hash || !found->raw) return std::nullopt;
  const ZipArchive::RawData& raw = *found->raw;
  if (raw.crc != *crc || raw.size != step.stamp.size) return std::nullopt;
  // Only what adding the file would store: empty files stored, others deflated.
  const bool as_added =
      raw.size == 0 ? raw.method == kMethodStored && raw.compressed_size == 0 : raw.method == kMethodDeflate;
  if (!as_added) return std::nullopt;
  return raw;
}

std::optional<ZipArchive::Prepared> Packer::Copied(const ZipArchive::RawData& raw) {
  ZipArchive::Prepared p{raw.crc, raw.size, raw.method, std::string(raw.compressed_size, '\0')};
  try {
    if (previous_source_->ReadAt(raw.position, p.compressed.data(), p.compressed.size()) == p.compressed.size())
      return p;
  } catch (const std::exception&) {
  }
  // A large archive read from its file that fails now: the files left are read.
  previous_failed_ = true;
  return std::nullopt;
}

// Copies the data of a large file from the previous archive piece by piece,
// after decoding it once to prove it holds the recorded bytes (unless the
// whole archive is known to).
ZipArchive::Written Packer::TakeInPieces(const ZipArchive::RawData& raw, ByteStream& archive, uint64_t position) {
  ByteStream& from = *previous_source_;
  if (!previous_is_proven_) {
    uint64_t at = 0;
    const std::optional<uint32_t> crc = DecodeEntryPieces(
        raw.method,
        [&](char* buffer, size_t size) {
          const size_t got =
              from.ReadAt(raw.position + at, buffer, static_cast<size_t>(std::min<uint64_t>(size, raw.compressed_size - at)));
          at += got;
          return got;
        },
        raw.size, false, [](std::string_view) {});
    if (crc != raw.crc) throw EDecompressionError("The data taken over does not hold what the index recorded");
  }
  std::string piece(kStreamPiece, '\0');
  for (uint64_t done = 0; done < raw.compressed_size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), raw.compressed_size - done));
    from.ReadExactAt(raw.position + done, piece.data(), n);
    archive.WriteAt(position + done, piece.data(), n);
    done += n;
  }
  return ZipArchive::Written{raw.crc, raw.size, raw.method, raw.compressed_size};
}

// Compresses a large file piece by piece into the archive, and again when
// it changed while it was read (its stamp before and after differ); read
// gets the stamp it had then.
ZipArchive::Written Packer::DeflateInPieces(const Step& step, ByteStream& archive, uint64_t position,
                                            FileStamp& read) {
  const std::string path = PathOf(step);
  constexpr int kAttempts = 4;
  for (int attempt = 1;; ++attempt) {
    const std::optional<FileStamp> before = fs_.Stat(path);
    std::unique_ptr<FileStream> file = fs_.OpenStream(path);
    uint64_t in = 0, out = position;
    const DeflatedPieces d = DeflatePieces(
        request_.level,
        [&](char* buffer, size_t size) {
          const size_t got = file->ReadAt(in, buffer, size);
          in += got;
          return got;
        },
        [&](std::string_view piece) {
          ZipArchive::RequireRoom(out + piece.size());
          archive.WriteAt(out, piece.data(), piece.size());
          out += piece.size();
        });
    file.reset();
    const std::optional<FileStamp> after = fs_.Stat(path);
    if (before && after && before->SameContentStamp(*after) && d.size == after->size) {
      if (d.size > kMaxEntrySize)
        throw EArchiveLimit("The card \"" + path + "\" holds " + GroupedNumber(d.size) +
                            " bytes; an archive holds cards of at most " + GroupedNumber(kMaxEntrySize) + " bytes");
      read = *after;
      // A file that became empty is stored, as every empty one.
      if (d.size == 0) return ZipArchive::Written{0, 0, kMethodStored, 0};
      return ZipArchive::Written{d.crc, static_cast<uint32_t>(d.size), kMethodDeflate, d.compressed};
    }
    if (attempt == kAttempts)
      throw EReadError("Read error on \"" + path + "\". The file kept changing while it was read");
  }
}

// Adds a large file's entry, its data taken in pieces from the previous
// archive or compressed in pieces from the file.
void Packer::AddStreamed(const Step& step, DosStamp now) {
  EnsureFolderEntries(step.name, kAttrFolder, now);
  std::optional<ZipArchive::RawData> raw = ReusableRaw(step);
  FileStamp stamp = step.stamp;
  bool read = false;
  IndexedFile packed;
  const auto write = [&](ByteStream& archive, uint64_t position) {
    if (raw) {
      try {
        return TakeInPieces(*raw, archive, position);
      } catch (const std::exception&) {
        raw.reset();  // damaged or unreadable: the file is read
      }
    }
    FileStamp now_read;
    const ZipArchive::Written written = DeflateInPieces(step, archive, position, now_read);
    read = true;
    stamp.write_time = now_read.write_time;
    if (now_read.attributes != 0) stamp.attributes = now_read.attributes;
    return written;
  };
  // The entry takes the stamp the file had while it was read.
  const auto describe = [&](const ZipArchive::Written& data) {
    packed = IndexedFile{data.size, stamp.write_time, stamp.attributes, data.crc, std::nullopt};
    if (request_.identify) packed.identity = request_.identify(step.name, packed);
    if (!packed.identity) return ZipArchive::Description{stamp.attributes, StampOf(stamp.write_time), {}, {}};
    return ZipArchive::Description{stamp.attributes, StampOf(stamp.write_time),
                                   EncodeIdentityField(*packed.identity, false),
                                   EncodeIdentityField(*packed.identity, true)};
  };
  // The local header holds the identity alone, whose length is known before
  // the data is written.
  const size_t extra_size = request_.identify ? EncodeIdentityField(CardIdentity{}, false).size() : 0;
  archive_.AddWrittenEntry(step.name, extra_size, write, describe);
  if (read) ++files_read_;
  packed_.Set(std::string(step.name), packed);
}

void Packer::ApplySteps(StepFeed& feed) {
  constexpr size_t kWindow = 512;  // files read ahead at most
  // and the bytes they hold, as listed: a window holds its files' compressed
  // data, and two windows are held at once (one applied while the next is
  // read), so a few large cards (photos) fill one before 512 small ones
  // would. Files too large to be held are not counted: they are compressed
  // in pieces when their turn comes.
  constexpr uint64_t kWindowBytes = 8u << 20;
  const DosStamp now = StampOf(fs_.Now());
  struct Work {
    size_t file;
    bool taken;  // prepared from the previous archive, still to be proven
  };
  struct Window {
    size_t first = 0, last = 0;  // its steps
    std::vector<size_t> files;   // the steps that are files
    std::vector<ZipArchive::Prepared> prepared;
    // Data taken where it lies in the previous archive held in memory,
    // which our own last pack wrote (prepared then holds all but the bytes).
    std::vector<std::optional<std::string_view>> in_place;
    // The stamp a file had while it was read; nothing for data taken over.
    std::vector<std::optional<FileStamp>> read;
    std::vector<std::exception_ptr> errors;
    std::vector<Work> work;  // what the pool's threads do for it
  };
  std::vector<Step> steps;
  if (previous_) steps.reserve(previous_->size() + 64);  // about as many as last time
  bool listing = true;
  size_t planned = 0;  // steps in windows so far

  // The next window of listed steps; nothing once every step is in one, or,
  // without wait, when no step was listed since the last window. A window
  // waits to be filled only when there is nothing to apply meanwhile: a
  // window still to be applied goes on with the steps listed so far, so that
  // the archive follows the listing closely (when nothing needs reading, the
  // listing is what a pack waits for).
  // Taking data from the previous archive is a lookup and a copy, done here;
  // the pool's threads prove data our own last pack did not make, and read
  // and compress the files that changed.
  auto plan = [&](bool wait) -> std::optional<Window> {
    feed.RaiseIfFailed();
    while (listing && steps.size() - planned < kWindow) {
      listing = feed.Take(steps, wait);
      if (!wait) break;
    }
    if (planned == steps.size()) return std::nullopt;
    Window w;
    w.first = w.last = planned;
    uint64_t bytes = 0;
    while (w.last < steps.size() && w.files.size() < kWindow) {
      if (steps[w.last].kind == Step::kFile) {
        const uint64_t size = Streamed(steps[w.last].stamp.size) ? 0 : steps[w.last].stamp.size;
        if (!w.files.empty() && bytes + size > kWindowBytes) break;
        bytes += size;
        w.files.push_back(w.last);
      }
      ++w.last;
    }
    planned = w.last;
    w.prepared.resize(w.files.size());
    w.in_place.resize(w.files.size());
    w.read.resize(w.files.size());
    w.errors.resize(w.files.size());
    for (size_t i = 0; i < w.files.size(); ++i) {
      if (Streamed(steps[w.files[i]].stamp.size)) continue;  // when it is applied
      const std::optional<ZipArchive::RawData> raw = ReusableRaw(steps[w.files[i]]);
      if (raw && previous_bytes_ && previous_is_proven_ &&
          raw->position + raw->compressed_size <= previous_bytes_->Bytes().size()) {
        w.prepared[i] = ZipArchive::Prepared{raw->crc, raw->size, raw->method, {}};
        w.in_place[i] = std::string_view(previous_bytes_->Bytes()).substr(raw->position, raw->compressed_size);
        continue;
      }
      std::optional<ZipArchive::Prepared> reused = raw ? Copied(*raw) : std::nullopt;
      if (reused) w.prepared[i] = std::move(*reused);
      if (!reused || !previous_is_proven_) w.work.push_back(Work{i, reused.has_value()});
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
      // The file system reads a file that changes meanwhile again, and
      // gives the stamp that belongs to the bytes read.
      FileStamp read;
      prepared = ZipArchive::Prepare(fs_.ReadFile(PathOf(step), &read), request_.level);
      w.read[work.file] = read;
    } catch (...) {
      w.errors[work.file] = std::current_exception();
    }
  };
  std::string extra, central_extra;  // an entry's extra fields: its local header's, its record's
  auto apply = [&](Window& w) {
    for (size_t i = w.first, file = 0; i < w.last; ++i) {
      const Step& step = steps[i];
      if (step.kind == Step::kFolder) {
        EnsureFolderEntries(step.name, step.stamp.attributes, StampOf(step.stamp.write_time));
        continue;
      }
      const size_t k = file++;
      if (Streamed(step.stamp.size)) {
        try {
          AddStreamed(step, now);
        } catch (...) {
          // A file deleted since the listing is no longer part of the tree.
          if (!fs_.Stat(PathOf(step))) continue;
          throw;
        }
        continue;
      }
      if (w.errors[k]) {
        // A file deleted since the listing is no longer part of the tree.
        if (!fs_.Stat(PathOf(step))) continue;
        std::rethrow_exception(w.errors[k]);
      }
      // The entry and the index describe the bytes packed: a file read has
      // the stamp it had then (the listing's is older when the file was
      // saved meanwhile), data taken over the listing's, which the index
      // vouched for.
      FileStamp stamp = step.stamp;
      if (w.read[k]) {
        ++files_read_;
        stamp.write_time = w.read[k]->write_time;
        if (w.read[k]->attributes != 0) stamp.attributes = w.read[k]->attributes;  // 0: not known
      }
      ZipArchive::PreparedView data = w.prepared[k];
      if (w.in_place[k]) data.compressed = *w.in_place[k];
      EnsureFolderEntries(step.name, kAttrFolder, now);
      IndexedFile packed{data.size, stamp.write_time, stamp.attributes, data.crc, std::nullopt};
      if (request_.identify) packed.identity = request_.identify(step.name, packed);
      extra.clear();
      central_extra.clear();
      if (packed.identity) {
        AppendIdentityField(extra, *packed.identity, false);
        AppendIdentityField(central_extra, *packed.identity, true);
      }
      archive_.AddPreparedEntry(step.name, stamp.attributes, data, StampOf(stamp.write_time), extra, central_extra);
      packed_.Set(std::string(step.name), packed);
    }
  };

  // Each window is applied while the next one is read: one batch of the pool
  // does both, the applying as its first item. A failure of the applying is
  // raised once the batch is done.
  WorkerPool pool(WorkerThreads(), request_.threads);
  std::optional<Window> ready;
  for (;;) {
    std::optional<Window> next = plan(!ready);
    if (!next && !ready) break;
    const size_t applying = ready ? 1 : 0;
    std::exception_ptr failed;
    pool.Run(applying + (next ? next->work.size() : 0), [&](size_t item) {
      if (item >= applying) return prepare(*next, next->work[item - applying]);
      try {
        apply(*ready);
      } catch (...) {
        failed = std::current_exception();
      }
    });
    if (failed) std::rethrow_exception(failed);
    // What the window added lies below the directory, which goes last; an
    // entry removed for another of its name moves the bytes after it.
    if (ready && request_.growing) {
      stream_->WriteOut();
      if (archive_.MovedData())
        request_.growing->Fail();
      else
        request_.growing->Grew(archive_.End().directory_offset);
    }
    ready = std::move(next);
  }
}

void Packer::EnsureFolderEntries(std::string_view entry, uint32_t attributes, DosStamp stamp) {
  // Up to and including the last separator.
  const std::string_view folder = entry.substr(0, FindLastOf(entry, "/", lead_) + 1);
  // The files of one folder follow one another: its entries are there already.
  if (folder == last_folder_ensured_) return;
  last_folder_ensured_ = folder;
  for (size_t end = folder.find('/'); end != std::string::npos; end = folder.find('/', end + 1)) {
    const std::string_view prefix = folder.substr(0, end + 1);
    if (folders_.insert(std::string(prefix)).second)
      archive_.AddStreamEntry(prefix, attributes, {}, stamp, request_.level);
  }
}

}  // namespace

PackResult PackFolder(const PackRequest& request) {
  try {
    return Packer(request).Run();
  } catch (...) {
    if (request.growing) request.growing->Fail();
    throw;
  }
}

}  // namespace n2
