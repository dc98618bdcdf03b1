// The entries of one zip archive kept on a byte stream: reading the directory
// (or walking the local headers when there is none), adding entries in place,
// and decoding an entry's data. The zip component puts files and folders on
// top of it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "zip/zip_codec.h"
#include "zip/zip_records.h"

namespace n2 {

// The most entries an archive holds: its end record counts them in 16 bits.
inline constexpr size_t kMaxEntries = 0xFFFF;
// The largest archive written: offsets and sizes in its records are 32-bit.
inline constexpr uint64_t kMaxArchiveSize = 0xFFFFFFFFu;

// What of an entry's local header counts once it has been read (an archive
// of 60,000 cards keeps one for each, without its name and extra field).
struct LocalInfo {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t compressed_size = 0;
  uint32_t header_size = 0;  // fixed part, name and extra field

  static LocalInfo Of(const LocalHeader& h) {
    return LocalInfo{h.flags, h.method, h.compressed_size, static_cast<uint32_t>(h.Size())};
  }
};

struct ZipEntry {
  CentralRecord central;
  // The local header as read when the archive was opened; nothing when no
  // local header could be read at the central record's offset.
  std::optional<LocalInfo> local;
  // The local header and data lie over those of another entry: data read
  // once but listed many times, refused when read.
  bool shares_data = false;

  bool Encrypted() const { return (central.flags & 1) != 0; }
  bool Folder() const { return (central.external_attributes & kAttrFolder) != 0; }
  // The time stamp as a local time; nothing when the stored date is not a real date.
  std::optional<LocalTime> Time() const { return DecodeDosStamp(central.stamp); }
};

class ZipArchive {
 public:
  // Entry names are compared in the code page whose lead bytes are given
  // (which must outlive this object).
  explicit ZipArchive(const LeadBytes& lead) : lead_(&lead), names_(MakeCaseBlindMap<size_t>(lead)) {}

  // Reads the archive on stream (which must outlive this object) and keeps
  // the stream for later adds and reads. Returns whether it is a zip archive;
  // when it is not, the entries are empty.
  bool Read(ByteStream& stream);
  // Forgets the stream and every entry.
  void Clear();

  bool IsZip() const { return is_zip_; }
  // Whether the archive ends with its directory: an archive cut short is read
  // by walking its local headers and holds only what came before the cut.
  bool Whole() const { return whole_; }
  const std::vector<ZipEntry>& Entries() const { return entries_; }
  // The entries, taken away: the archive is cleared.
  std::vector<ZipEntry> TakeEntries();
  const EndRecord& End() const { return end_; }

  // Index of the first entry whose normalised name equals name's without
  // regard to case, or -1. The names are indexed when first needed (an
  // archive that is only unpacked never needs them; one that is written
  // keeps a hash of each name, and its names only once one is found), so it
  // is not called from several threads at once.
  int FindEntry(std::string_view name) const;


  // Adds one entry in place: an entry of the same name is removed first, the
  // local header and data go where the central directory was, and the
  // directory and end record are written behind them. During a batch the
  // directory is written once, by EndBatch, with the same final bytes.
  // Raises EArchiveLimit when the archive would hold more than kMaxEntries
  // entries or pass kMaxArchiveSize bytes.
  void AddStreamEntry(std::string_view name, uint32_t attributes, std::string_view data, DosStamp stamp, int level);

  // An entry's data made ready for adding: checksum, size and compressed
  // bytes. Preparing touches nothing of the archive, so entries may be
  // prepared on several threads and then added in order.
  struct Prepared {
    uint32_t crc = 0;
    uint32_t size = 0;
    uint16_t method = 0;
    std::string compressed;
  };
  static Prepared Prepare(std::string_view data, int level);
  // Prepared data wherever its compressed bytes lie (in a Prepared, or in
  // another archive held in memory).
  struct PreparedView {
    uint32_t crc = 0;
    uint32_t size = 0;
    uint16_t method = 0;
    std::string_view compressed;
    PreparedView() = default;
    PreparedView(const Prepared& p) : crc(p.crc), size(p.size), method(p.method), compressed(p.compressed) {}
  };
  // AddStreamEntry with data prepared beforehand; the same bytes result.
  // extra, when given, is the extra field of the local header, and of the
  // directory record too unless central_extra is given.
  void AddPreparedEntry(std::string_view name, uint32_t attributes, const PreparedView& data, DosStamp stamp,
                        std::string_view extra = {}, std::optional<std::string_view> central_extra = {});

  // What an entry's data writer put into the archive.
  struct Written {
    uint32_t crc = 0;
    uint32_t size = 0;
    uint16_t method = 0;
    uint64_t compressed_size = 0;
  };
  // Writes an entry's compressed data into the archive's stream from the
  // given position on (in pieces, as it likes) and tells what it wrote. It
  // may be called again, to write the data anew from the same position.
  using TDataWriter = std::function<Written(ByteStream& archive, uint64_t position)>;
  // AddPreparedEntry for data too large to hold in memory: write puts it in
  // place, then describe gives the entry's attributes, time stamp and extra
  // field (which may depend on what was written), and the local header
  // before the data is written last. extra_size is the local header's extra
  // field's expected length: when describe gives another, the data is
  // written again after a header of the real length. The directory record
  // takes central_extra when given, else extra.
  struct Description {
    uint32_t attributes = 0;
    DosStamp stamp;
    std::string extra;
    std::optional<std::string> central_extra;
  };
  using TDescribe = std::function<Description(const Written&)>;
  void AddWrittenEntry(std::string_view name, size_t extra_size, const TDataWriter& write, const TDescribe& describe);
  // Raises EArchiveLimit when an archive would reach up to end.
  static void RequireRoom(uint64_t end);
  // Room for this many entries (and their names), taken at once: an archive
  // about as large as the last one does not grow step by step.
  void ReserveEntries(size_t count);
  void BeginBatch() { batch_ = true; }
  // Ends a batch and writes the directory; call it also when the batch fails.
  void EndBatch();

  // The decoded data of entry index, checked against its CRC-32. Nothing when
  // the entry has no usable data (no local header at its offset, data cut
  // short). Raises "Cannot process this file: " for encrypted entries and
  // unknown methods, EDecompressionError for malformed data, a CRC mismatch,
  // a declared size above kMaxEntrySize or above kMaxExpansion times the
  // compressed size, and data shared with another entry.
  std::optional<std::string> ReadEntryData(size_t index) const { return ReadEntryData(index, *stream_); }
  // The same, reading the entry's bytes from another stream that holds the
  // archive's bytes: a copy in memory, which several threads may read at once.
  std::optional<std::string> ReadEntryData(size_t index, ByteStream& from) const;
  // ReadEntryData in pieces, for entries of any size: the decoded bytes go to
  // write piece by piece (never more than the declared size), and the CRC-32
  // is checked at the end. False where ReadEntryData gives nothing; raises
  // where it raises (a CRC mismatch after every piece was written).
  bool DecodeEntryInPieces(size_t index, ByteStream& from, const TPieceWriter& write) const;
  // Whether the archive is whole and the data of every entry, read from
  // from, decodes to the bytes its CRC-32 names: what lets a later pack take
  // the data over unchecked. False at the first entry that does not (no
  // usable data, encrypted, an unknown method, malformed data) and when from
  // cannot be read; nothing is raised. False without decoding anything when
  // the entries declare more than most_decoded bytes in all: a small archive
  // may declare gigabytes, and no entry gives more than it declares.
  bool DecodesWhole(ByteStream& from, uint64_t most_decoded) const;
  // The stream the archive was read from; null when there is none.
  ByteStream* Stream() const { return stream_; }
  // An entry removed since the archive was read moved the bytes after it.
  bool MovedData() const { return moved_data_; }

  // Where the compressed data of entry index lies as stored, ready to be
  // copied to another archive unchanged; nothing when the entry is not one a
  // plain add would make (encrypted, a data descriptor, a method other than
  // stored or deflate) or its data is not all there. Nothing is decoded or
  // checked.
  struct RawData {
    uint32_t crc = 0;
    uint32_t size = 0;
    uint16_t method = 0;
    uint64_t position = 0;  // in Stream()
    uint32_t compressed_size = 0;
  };
  std::optional<RawData> RawEntry(size_t index);
  // The same data read into memory.
  std::optional<Prepared> RawEntryData(size_t index);

 private:
  // Where entry index's compressed data lies and how much of it is there;
  // nothing when the entry has no usable data. Raises as ReadEntryData.
  struct DataSpan {
    uint64_t position = 0;
    uint32_t compressed_size = 0;
    uint64_t present = 0;  // bytes of it before the stream's end
  };
  std::optional<DataSpan> LocateData(size_t index, ByteStream& from) const;
  bool ReadDirectory(uint64_t end_position);
  bool WalkLocalHeaders();
  void MarkSharedData();
  void RemoveEntry(size_t index);
  // The local header of an entry about to be added, its name normalised,
  // with an entry of that name removed first; raises when the archive holds
  // as many as it can.
  LocalHeader& BeginAdd(std::string_view name);
  // Takes the entry being added, whose local header lies at offset and whose
  // data ends at data_end, into the entries, and writes the directory unless
  // a batch is on.
  void FinishAdd(uint32_t attributes, uint64_t offset, uint64_t data_end, std::optional<std::string_view> central_extra);
  // FindEntry for a normalised name and its FoldedNameHash.
  int FindEntry(std::string_view normal, uint64_t hash) const;
  void WriteDirectory();
  void IndexNames() const;
  void IndexHashes() const;

  const LeadBytes* lead_;
  ByteStream* stream_ = nullptr;
  bool is_zip_ = false;
  bool whole_ = false;
  bool batch_ = false;
  bool moved_data_ = false;
  std::vector<ZipEntry> entries_;
  EndRecord end_;
  std::string comment_;  // the bytes after the end record
  std::string header_scratch_;  // a local header being written
  // The entry being added (kept, so that its texts keep their room) and its name's hash.
  LocalHeader adding_;
  uint64_t adding_hash_ = 0;
  // Normalised name -> index of the first entry of that name, for FindEntry
  // on large archives; made when first needed.
  mutable CaseBlindMap<size_t> names_;
  mutable bool names_indexed_ = false;
  // FoldedNameHash of every entry's normalised name: a name not among them
  // is not in the archive.
  mutable std::unordered_set<uint64_t> hashes_;
  mutable bool hashes_indexed_ = false;
};

}  // namespace n2
