// The entries of one zip archive kept on a byte stream: reading the directory
// (or walking the local headers when there is none), adding entries in place,
// and decoding an entry's data. The zip component puts files and folders on
// top of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zip/zip_records.h"

namespace n2 {

struct ZipEntry {
  CentralRecord central;
  // The local header as read when the archive was opened; nothing when no
  // local header could be read at the central record's offset.
  std::optional<LocalHeader> local;
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
  const EndRecord& End() const { return end_; }

  // Index of the first entry whose normalised name equals name's without
  // regard to case, or -1.
  int FindEntry(std::string_view name) const;

  // Adds one entry in place: an entry of the same name is removed first, the
  // local header and data go where the central directory was, and the
  // directory and end record are written behind them. During a batch the
  // directory is written once, by EndBatch, with the same final bytes.
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
  // AddStreamEntry with data prepared beforehand; the same bytes result.
  // extra, when given, is the extra field of the local header and the
  // directory record both.
  void AddPreparedEntry(std::string_view name, uint32_t attributes, const Prepared& data, DosStamp stamp,
                        std::string_view extra = {});
  void BeginBatch() { batch_ = true; }
  // Ends a batch and writes the directory; call it also when the batch fails.
  void EndBatch();

  // The decoded data of entry index, checked against its CRC-32. Nothing when
  // the entry has no usable data (no local header at its offset, data cut
  // short). Raises "Cannot process this file: " for encrypted entries and
  // unknown methods, EDecompressionError for malformed data, a CRC mismatch,
  // a declared size above kMaxEntrySize (or, for bzip2, above kMaxExpansion
  // times the compressed size), and data shared with another entry.
  std::optional<std::string> ReadEntryData(size_t index) const { return ReadEntryData(index, *stream_); }
  // The same, reading the entry's bytes from another stream that holds the
  // archive's bytes: a copy in memory, which several threads may read at once.
  std::optional<std::string> ReadEntryData(size_t index, ByteStream& from) const;
  // The stream the archive was read from; null when there is none.
  ByteStream* Stream() const { return stream_; }
  // The compressed data of entry index as stored, ready to be added to
  // another archive unchanged; nothing when the entry is not one a plain add
  // would make (encrypted, a data descriptor, a method other than stored or
  // deflate) or its data is not all there. Nothing is decoded or checked.
  std::optional<Prepared> RawEntryData(size_t index);

 private:
  bool ReadDirectory(uint64_t end_position);
  bool WalkLocalHeaders();
  void MarkSharedData();
  void RemoveEntry(size_t index);
  void WriteDirectory();
  void IndexNames();

  const LeadBytes* lead_;
  ByteStream* stream_ = nullptr;
  bool is_zip_ = false;
  bool whole_ = false;
  bool batch_ = false;
  std::vector<ZipEntry> entries_;
  EndRecord end_;
  std::string comment_;  // the bytes after the end record
  std::string header_scratch_;  // a local header being written
  // Normalised name -> index of the first entry of that name, for FindEntry
  // on large archives.
  CaseBlindMap<size_t> names_;
};

}  // namespace n2
