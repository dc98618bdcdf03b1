// What the last pack or unpack saw of each file of a folder tree: its size,
// last-write time, attributes and checksum. A file whose size and write time
// are still those of the record has, in all likelihood, the recorded content,
// so packing can take its compressed data from the previous archive and
// unpacking can compare it with an entry without reading it. The record is a
// small text that survives a restart; a damaged one reads as no record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/code_page.h"
#include "state/card_identity.h"

namespace n2 {

struct IndexedFile {
  uint64_t size = 0;
  // Last-write time in 100-nanosecond units (a FILETIME as one number).
  uint64_t write_time = 0;
  uint32_t attributes = 0;
  uint32_t crc = 0;
  // The identity of the card version the file holds, when known.
  std::optional<CardIdentity> identity;

  bool operator==(const IndexedFile&) const = default;
};

class FileIndex {
 public:
  // How close to the moment a record was taken a write may lie and still be
  // missed by the write time: the two seconds of the coarsest file systems.
  static constexpr uint64_t kTimeResolution = 2 * 10'000'000ull;

  // File names are compared without regard to case in the code page of lead.
  explicit FileIndex(const LeadBytes& lead) : files_(MakeCaseBlindMap<IndexedFile>(lead)) {}

  // The moment the record was taken, in the units of write_time.
  uint64_t TakenAt() const { return taken_at_; }
  void SetTakenAt(uint64_t moment) { taken_at_ = moment; }

  // The local archive whose every entry is known to hold the bytes its
  // CRC-32 names, by its size and last-write time: the one the last pack
  // wrote (it compressed or checked every entry), or the server's that a
  // download decoded whole. While the file is unchanged its data needs no
  // second check. Nothing when neither.
  struct ArchiveStamp {
    uint64_t size = 0;
    uint64_t write_time = 0;
    bool operator==(const ArchiveStamp&) const = default;
  };
  const std::optional<ArchiveStamp>& ProvenArchive() const { return proven_archive_; }
  void SetProvenArchive(std::optional<ArchiveStamp> stamp) { proven_archive_ = stamp; }

  void Set(std::string name, const IndexedFile& file);
  void Remove(std::string_view name);
  const IndexedFile* Find(std::string_view name) const;
  size_t Count() const { return files_.size(); }

  // The recorded checksum of name when a file of this size and write time
  // can be trusted to hold the recorded content: same size and time, and a
  // time far enough before the record was taken that no later write within
  // the clock's resolution can hide behind it.
  std::optional<uint32_t> TrustedCrc(std::string_view name, uint64_t size, uint64_t write_time) const;

  // The record as text, and back; a text that is not a whole record gives nothing.
  std::string Text() const;
  static std::optional<FileIndex> Parse(std::string_view text, const LeadBytes& lead);

 private:
  uint64_t taken_at_ = 0;
  std::optional<ArchiveStamp> proven_archive_;
  CaseBlindMap<IndexedFile> files_;  // by name, as last set
};

}  // namespace n2
