#include "zip/zip_archive.h"

#include <algorithm>

namespace n2 {
namespace {

constexpr size_t kCopyChunk = 1u << 20;

}  // namespace

void ZipArchive::Clear() {
  ReleaseDeflateCoders();  // what a pack kept for its next entry is not needed while closed
  stream_ = nullptr;
  is_zip_ = false;
  whole_ = false;
  batch_ = false;
  moved_data_ = false;
  entries_.clear();
  names_.clear();
  names_indexed_ = false;
  hashes_.clear();
  hashes_indexed_ = false;
  end_ = EndRecord{};
  comment_.clear();
}

bool ZipArchive::Read(ByteStream& stream) {
  Clear();
  stream_ = &stream;
  std::optional<uint64_t> end_position = FindEndRecord(stream);
  bool ok = end_position ? ReadDirectory(*end_position) : WalkLocalHeaders();
  if (!ok) {
    Clear();
    return false;
  }
  is_zip_ = true;
  whole_ = end_position.has_value();
  MarkSharedData();
  return true;
}

namespace {

// How many bytes of compressed data an entry claims after its local header.
// With a data descriptor (flag bit 3) the local sizes are 0; the directory holds them.
uint32_t CompressedSize(const CentralRecord& c, uint16_t local_flags, uint32_t local_compressed_size) {
  return (local_flags & 8) ? c.compressed_size : local_compressed_size;
}

}  // namespace

void ZipArchive::MarkSharedData() {
  // The byte ranges of the entries, local header and data, in archive order;
  // any range that starts before an earlier one ends overlaps it.
  struct Range {
    uint64_t begin, end;
    size_t index;
  };
  std::vector<Range> ranges;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const ZipEntry& e = entries_[i];
    if (!e.local) continue;
    const uint64_t begin = e.central.local_offset;
    ranges.push_back(
        Range{begin, begin + e.local->header_size + CompressedSize(e.central, e.local->flags, e.local->compressed_size), i});
  }
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
  const Range* reach = nullptr;  // the range reaching furthest so far
  for (const Range& r : ranges) {
    if (reach && r.begin < reach->end) {
      entries_[r.index].shares_data = true;
      entries_[reach->index].shares_data = true;
    }
    if (!reach || r.end > reach->end) reach = &r;
  }
}

bool ZipArchive::ReadDirectory(uint64_t end_position) {
  unsigned char b[kEndRecordSize];
  stream_->ReadExactAt(end_position, b, sizeof b);
  end_ = DecodeEndRecord(b);
  if (end_.records_on_disk != end_.records_total) return false;
  // The directory lies before the end record.
  const uint64_t directory_end = uint64_t{end_.directory_offset} + end_.directory_size;
  if (directory_end > end_position) return false;
  try {
    comment_ = stream_->ReadStringAt(end_position + kEndRecordSize, end_.comment_length);
  } catch (const EReadError&) {
    comment_.clear();  // a cut comment is dropped, the archive is still read
  }
  // The records fill the directory's size, however many the 16-bit count
  // says: more than 65,535 entries wrap it around (and other tools write
  // 0xFFFF). A count above what the directory holds, or records that do not
  // end where the directory ends, is a damaged directory.
  // All of them, unless the count wrapped.
  entries_.reserve(std::min<uint64_t>(end_.records_on_disk, end_.directory_size / kCentralRecordSize));
  try {
    for (uint64_t p = end_.directory_offset; p < directory_end;) {
      std::optional<CentralRecord> r = ReadCentralRecord(*stream_, p);
      if (!r) return false;
      p += r->Size();
      if (p > directory_end) return false;
      entries_.push_back(ZipEntry{std::move(*r), std::nullopt});
    }
  } catch (const EReadError&) {
    return false;
  }
  if (entries_.size() < end_.records_on_disk) return false;
  for (ZipEntry& e : entries_) {
    try {
      if (std::optional<LocalHeader> h = ReadLocalHeader(*stream_, e.central.local_offset)) e.local = LocalInfo::Of(*h);
    } catch (const EReadError&) {
      e.local.reset();  // no usable data: skipped on extraction
    }
  }
  return true;
}

bool ZipArchive::WalkLocalHeaders() {
  uint64_t p = 0;
  const uint64_t size = stream_->Size();
  uint64_t directory_size = 0;
  while (p < size) {
    std::optional<LocalHeader> h;
    try {
      h = ReadLocalHeader(*stream_, p);
    } catch (const EReadError&) {
      break;
    }
    if (!h) break;
    CentralRecord r;
    r.version_made_by = 20;
    r.version_needed = h->version_needed;
    r.flags = h->flags;
    r.method = h->method;
    r.stamp = h->stamp;
    r.crc = h->crc;
    r.compressed_size = h->compressed_size;
    r.uncompressed_size = h->uncompressed_size;
    r.name = h->name;
    r.extra = h->extra;
    const bool folder = EndsWithChar(NormalizeEntryName(h->name, *lead_), '/', *lead_);
    r.external_attributes = folder ? kAttrFolder : kAttrArchive;
    r.local_offset = static_cast<uint32_t>(p);
    directory_size += r.Size();
    uint64_t next = p + h->Size() + h->compressed_size;
    entries_.push_back(ZipEntry{std::move(r), LocalInfo::Of(*h)});
    p = next;
  }
  end_ = EndRecord{};
  end_.records_on_disk = end_.records_total = static_cast<uint16_t>(entries_.size());
  end_.directory_size = static_cast<uint32_t>(directory_size);
  end_.directory_offset = static_cast<uint32_t>(std::min<uint64_t>(p, size));
  return !entries_.empty();
}

void ZipArchive::ReserveEntries(size_t count) {
  entries_.reserve(count);
  if (!hashes_indexed_) IndexHashes();
  hashes_.reserve(count);
}

std::vector<ZipEntry> ZipArchive::TakeEntries() {
  std::vector<ZipEntry> taken = std::move(entries_);
  Clear();
  return taken;
}

void ZipArchive::IndexHashes() const {
  hashes_indexed_ = true;
  hashes_.clear();
  hashes_.reserve(entries_.size());
  for (const ZipEntry& e : entries_) hashes_.insert(FoldedNameHash(NormalizeEntryName(e.central.name, *lead_), *lead_));
}

void ZipArchive::IndexNames() const {
  names_indexed_ = true;
  names_.clear();
  names_.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) names_.emplace(NormalizeEntryName(entries_[i].central.name, *lead_), i);
}

int ZipArchive::FindEntry(std::string_view name) const {
  std::string normalized;
  std::string_view normal = name;
  if (!IsNormalEntryName(name, *lead_)) normal = normalized = NormalizeEntryName(name, *lead_);
  return FindEntry(normal, FoldedNameHash(normal, *lead_));
}

int ZipArchive::FindEntry(std::string_view normal, uint64_t hash) const {
  if (!names_indexed_) {
    if (!hashes_indexed_) IndexHashes();
    if (!hashes_.count(hash)) return -1;
    IndexNames();
  }
  auto it = names_.find(normal);
  return it == names_.end() ? -1 : static_cast<int>(it->second);
}

void ZipArchive::RemoveEntry(size_t index) {
  const uint64_t offset = entries_[index].central.local_offset;
  // The entry's bytes reach up to the next local header, or to the directory.
  uint64_t next = end_.directory_offset;
  for (const ZipEntry& e : entries_)
    if (e.central.local_offset > offset) next = std::min<uint64_t>(next, e.central.local_offset);
  if (next > offset && next <= end_.directory_offset) {
    const uint64_t gap = next - offset;
    std::string chunk;
    for (uint64_t from = next; from < end_.directory_offset; from += chunk.size()) {
      chunk.resize(static_cast<size_t>(std::min<uint64_t>(kCopyChunk, end_.directory_offset - from)));
      stream_->ReadExactAt(from, chunk.data(), chunk.size());
      stream_->WriteAt(from - gap, chunk.data(), chunk.size());
    }
    for (ZipEntry& e : entries_)
      if (e.central.local_offset > offset) e.central.local_offset -= static_cast<uint32_t>(gap);
    end_.directory_offset -= static_cast<uint32_t>(gap);
    moved_data_ = true;
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  names_indexed_ = false;
  hashes_indexed_ = false;
  if (!batch_) WriteDirectory();
}

ZipArchive::Prepared ZipArchive::Prepare(std::string_view data, int level) {
  Prepared p;
  p.size = static_cast<uint32_t>(data.size());
  if (!data.empty()) {
    p.crc = Crc32(data);
    p.method = kMethodDeflate;
    p.compressed = DeflateRaw(data, level);
  }
  return p;
}

void ZipArchive::AddStreamEntry(std::string_view name, uint32_t attributes, std::string_view data, DosStamp stamp,
                                int level) {
  AddPreparedEntry(name, attributes, Prepare(data, level), stamp);
}

void ZipArchive::AddPreparedEntry(std::string_view name, uint32_t attributes, const PreparedView& data,
                                  DosStamp stamp, std::string_view extra,
                                  std::optional<std::string_view> central_extra) {
  LocalHeader& h = BeginAdd(name);
  h.stamp = stamp;
  h.extra.assign(extra);
  h.method = data.method;
  h.crc = data.crc;
  h.compressed_size = static_cast<uint32_t>(data.compressed.size());
  h.uncompressed_size = data.size;
  const uint64_t offset = end_.directory_offset;
  const uint64_t data_position = offset + h.Size();
  RequireRoom(data_position + data.compressed.size());
  // The header and then the data: writes that follow one another, which the
  // stream gathers into large blocks.
  std::string& header = header_scratch_;
  header.clear();
  AppendLocalHeader(header, h);
  stream_->WriteAt(offset, header.data(), header.size());
  stream_->WriteAt(data_position, data.compressed.data(), data.compressed.size());
  FinishAdd(attributes, offset, data_position + data.compressed.size(), central_extra);
}

void ZipArchive::RequireRoom(uint64_t end) {
  if (end > kMaxArchiveSize)
    throw EArchiveLimit("The packed address book would pass 4 GiB (" + GroupedNumber(kMaxArchiveSize) +
                        " bytes), the most an archive holds");
}

LocalHeader& ZipArchive::BeginAdd(std::string_view name) {
  if (!stream_) throw Exception("No archive is open");
  LocalHeader& h = adding_;
  NormalizeEntryName(name, *lead_, h.name);
  adding_hash_ = FoldedNameHash(h.name, *lead_);
  if (const int old = FindEntry(h.name, adding_hash_); old >= 0) RemoveEntry(static_cast<size_t>(old));
  if (entries_.size() >= kMaxEntries)
    throw EArchiveLimit("An archive holds at most " + GroupedNumber(kMaxEntries) + " cards and folders");
  return h;
}

void ZipArchive::FinishAdd(uint32_t attributes, uint64_t offset, uint64_t data_end,
                           std::optional<std::string_view> central_extra) {
  const LocalHeader& h = adding_;
  CentralRecord r;
  r.method = h.method;
  r.stamp = h.stamp;
  r.crc = h.crc;
  r.compressed_size = h.compressed_size;
  r.uncompressed_size = h.uncompressed_size;
  r.external_attributes = attributes & 0xFFFF;
  r.local_offset = static_cast<uint32_t>(offset);
  r.name = h.name;
  r.extra = central_extra ? std::string(*central_extra) : h.extra;
  end_.directory_offset = static_cast<uint32_t>(data_end);
  if (hashes_indexed_) hashes_.insert(adding_hash_);
  entries_.push_back(ZipEntry{std::move(r), LocalInfo::Of(h)});
  if (names_indexed_) names_.emplace(h.name, entries_.size() - 1);
  if (!batch_) WriteDirectory();
}

void ZipArchive::AddWrittenEntry(std::string_view name, size_t extra_size, const TDataWriter& write,
                                 const TDescribe& describe) {
  LocalHeader& h = BeginAdd(name);
  const uint64_t offset = end_.directory_offset;
  uint64_t data_position = offset + kLocalHeaderSize + h.name.size() + extra_size;
  Written data = write(*stream_, data_position);
  RequireRoom(data_position + data.compressed_size);
  Description described = describe(data);
  h.stamp = described.stamp;
  h.extra = std::move(described.extra);
  if (h.extra.size() != extra_size) {
    data_position = offset + h.Size();
    data = write(*stream_, data_position);
    RequireRoom(data_position + data.compressed_size);
  }
  h.method = data.method;
  h.crc = data.crc;
  h.compressed_size = static_cast<uint32_t>(data.compressed_size);
  h.uncompressed_size = data.size;
  std::string& header = header_scratch_;
  header.clear();
  AppendLocalHeader(header, h);
  stream_->WriteAt(offset, header.data(), header.size());
  FinishAdd(described.attributes, offset, data_position + data.compressed_size,
            described.central_extra ? std::optional<std::string_view>(*described.central_extra) : std::nullopt);
}

void ZipArchive::EndBatch() {
  if (!batch_) return;
  batch_ = false;
  if (stream_) WriteDirectory();
}

void ZipArchive::WriteDirectory() {
  // Written in pieces: the directory of 60,000 cards is megabytes.
  uint64_t size = 0;
  for (const ZipEntry& e : entries_) size += e.central.Size();
  RequireRoom(uint64_t{end_.directory_offset} + size + kEndRecordSize + comment_.size());
  std::string out;
  out.reserve(static_cast<size_t>(std::min<uint64_t>(size, kCopyChunk)) + kEndRecordSize + comment_.size());
  uint64_t at = end_.directory_offset;
  for (const ZipEntry& e : entries_) {
    AppendCentralRecord(out, e.central);
    if (out.size() >= kCopyChunk) {
      stream_->WriteAt(at, out.data(), out.size());
      at += out.size();
      out.clear();
    }
  }
  end_.records_on_disk = end_.records_total = static_cast<uint16_t>(entries_.size());
  end_.directory_size = static_cast<uint32_t>(size);
  out += EncodeEndRecord(end_);
  out += comment_;
  stream_->WriteAt(at, out.data(), out.size());
  stream_->Truncate(at + out.size());
}

std::optional<ZipArchive::RawData> ZipArchive::RawEntry(size_t index) {
  const ZipEntry& e = entries_.at(index);
  const CentralRecord& c = e.central;
  if (c.flags != 0 || (c.method != kMethodStored && c.method != kMethodDeflate)) return std::nullopt;
  const std::optional<LocalInfo>& h = e.local;  // as read at the entry's offset, or as added
  if (!h || h->flags != 0 || h->method != c.method || h->compressed_size != c.compressed_size) return std::nullopt;
  const uint64_t data_position = uint64_t{c.local_offset} + h->header_size;
  if (data_position + c.compressed_size > stream_->Size()) return std::nullopt;
  return RawData{c.crc, c.uncompressed_size, c.method, data_position, c.compressed_size};
}

std::optional<ZipArchive::Prepared> ZipArchive::RawEntryData(size_t index) {
  const std::optional<RawData> raw = RawEntry(index);
  if (!raw) return std::nullopt;
  Prepared p;
  p.crc = raw->crc;
  p.size = raw->size;
  p.method = raw->method;
  p.compressed.resize(raw->compressed_size);
  if (stream_->ReadAt(raw->position, p.compressed.data(), p.compressed.size()) != p.compressed.size())
    return std::nullopt;
  return p;
}

std::optional<ZipArchive::DataSpan> ZipArchive::LocateData(size_t index, ByteStream& from) const {
  const ZipEntry& e = entries_.at(index);
  const CentralRecord& c = e.central;
  if (e.Encrypted() || (c.method != kMethodStored && c.method != kMethodDeflate && c.method != kMethodBzip2))
    throw Exception("Cannot process this file: " + c.name + " ");
  std::optional<LocalHeader> h;
  try {
    h = ReadLocalHeader(from, c.local_offset);
  } catch (const EReadError&) {
    return std::nullopt;
  }
  if (!h) return std::nullopt;
  const uint32_t compressed_size = CompressedSize(c, h->flags, h->compressed_size);
  // Refused before anything is read: what no archive without 64-bit records holds.
  if (c.uncompressed_size > kMaxEntrySize || compressed_size > kMaxEntrySize)
    throw EDecompressionError("Entry \"" + c.name + "\" is too large (" +
                              GroupedNumber(std::max(c.uncompressed_size, compressed_size)) + " bytes; at most " +
                              GroupedNumber(kMaxEntrySize) + " are read)");
  // Deflate can give no more; bzip2 could, but an address book is never that repetitive.
  if (c.method != kMethodStored &&
      c.uncompressed_size > uint64_t{compressed_size} * kMaxExpansion + kExpansionSlack)
    throw EDecompressionError("Entry \"" + c.name + "\" would decode to more than " +
                              std::to_string(kMaxExpansion) + " times its " + std::to_string(compressed_size) +
                              " compressed bytes");
  if (e.shares_data) throw EDecompressionError("Entry \"" + c.name + "\" shares its data with another entry");
  const uint64_t data_position = uint64_t{c.local_offset} + h->Size();
  const uint64_t size = from.Size();
  const uint64_t available = data_position < size ? size - data_position : 0;
  // The archive ends inside the entry's data, and the bytes there could not
  // give the declared size even at the greatest expansion: a cut entry,
  // skipped at once instead of decoded (bzip2 could spend seconds on them).
  const uint64_t present = std::min<uint64_t>(compressed_size, available);
  if (c.method != kMethodStored && present < compressed_size &&
      c.uncompressed_size > present * kMaxExpansion + kExpansionSlack)
    return std::nullopt;
  return DataSpan{data_position, compressed_size, present};
}

std::optional<std::string> ZipArchive::ReadEntryData(size_t index, ByteStream& from) const {
  const CentralRecord& c = entries_.at(index).central;
  const std::optional<DataSpan> span = LocateData(index, from);
  if (!span) return std::nullopt;
  std::string data(static_cast<size_t>(span->present), '\0');
  data.resize(from.ReadAt(span->position, data.data(), data.size()));
  // The archive ends inside the entry's data: a cut download, not a damaged entry.
  const bool cut = data.size() < span->compressed_size;
  std::optional<std::string> out;
  try {
    out = DecodeEntryData(c.method, data, c.uncompressed_size, cut);
  } catch (const EDecompressionError& error) {
    throw EDecompressionError(error.Message() + " in \"" + c.name + "\"");
  }
  if (out && Crc32(*out) != c.crc) throw EDecompressionError("CRC error in \"" + c.name + "\"");
  return out;
}

bool ZipArchive::DecodeEntryInPieces(size_t index, ByteStream& from, const TPieceWriter& write) const {
  const CentralRecord& c = entries_.at(index).central;
  const std::optional<DataSpan> span = LocateData(index, from);
  if (!span) return false;
  uint64_t at = span->position;
  const uint64_t end = span->position + span->present;
  bool cut = false;
  const TPieceReader read = [&](char* buffer, size_t size) -> size_t {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, end - at));
    const size_t got = want == 0 ? 0 : from.ReadAt(at, buffer, want);
    at += got;
    return got;
  };
  cut = span->present < span->compressed_size;
  std::optional<uint32_t> crc;
  try {
    crc = DecodeEntryPieces(c.method, read, c.uncompressed_size, cut, write);
  } catch (const EDecompressionError& error) {
    throw EDecompressionError(error.Message() + " in \"" + c.name + "\"");
  }
  if (!crc) return false;
  if (*crc != c.crc) throw EDecompressionError("CRC error in \"" + c.name + "\"");
  return true;
}

bool ZipArchive::DecodesWhole(ByteStream& from, uint64_t most_decoded) const {
  if (!whole_) return false;
  uint64_t declared = 0;
  for (const ZipEntry& entry : entries_) declared += entry.central.uncompressed_size;
  if (declared > most_decoded) return false;
  try {
    for (size_t i = 0; i < entries_.size(); ++i) {
      const bool decoded = entries_[i].central.uncompressed_size > kStreamedEntrySize
                               ? DecodeEntryInPieces(i, from, [](std::string_view) {})
                               : ReadEntryData(i, from).has_value();
      if (!decoded) return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace n2
