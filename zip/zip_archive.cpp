#include "zip/zip_archive.h"

#include <algorithm>

#include "zip/zip_codec.h"

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
  entries_.clear();
  names_.clear();
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
  IndexNames();
  MarkSharedData();
  return true;
}

namespace {

// How many bytes of compressed data an entry claims after its local header.
// With a data descriptor (flag bit 3) the local sizes are 0; the directory holds them.
uint32_t CompressedSize(const CentralRecord& c, const LocalHeader& h) {
  return (h.flags & 8) ? c.compressed_size : h.compressed_size;
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
    ranges.push_back(Range{begin, begin + e.local->Size() + CompressedSize(e.central, *e.local), i});
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
  try {
    comment_ = stream_->ReadStringAt(end_position + kEndRecordSize, end_.comment_length);
  } catch (const EReadError&) {
    comment_.clear();  // a cut comment is dropped, the archive is still read
  }
  try {
    uint64_t p = end_.directory_offset;
    for (unsigned i = 0; i < end_.records_on_disk; ++i) {
      std::optional<CentralRecord> r = ReadCentralRecord(*stream_, p);
      if (!r) return false;
      p += r->Size();
      entries_.push_back(ZipEntry{std::move(*r), std::nullopt});
    }
  } catch (const EReadError&) {
    return false;
  }
  for (ZipEntry& e : entries_) {
    try {
      e.local = ReadLocalHeader(*stream_, e.central.local_offset);
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
    entries_.push_back(ZipEntry{std::move(r), std::move(h)});
    p = next;
  }
  end_ = EndRecord{};
  end_.records_on_disk = end_.records_total = static_cast<uint16_t>(entries_.size());
  end_.directory_size = static_cast<uint32_t>(directory_size);
  end_.directory_offset = static_cast<uint32_t>(std::min<uint64_t>(p, size));
  return !entries_.empty();
}

void ZipArchive::IndexNames() {
  names_.clear();
  names_.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) names_.emplace(NormalizeEntryName(entries_[i].central.name, *lead_), i);
}

int ZipArchive::FindEntry(std::string_view name) const {
  auto it = IsNormalEntryName(name, *lead_) ? names_.find(name) : names_.find(NormalizeEntryName(name, *lead_));
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
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  IndexNames();
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

void ZipArchive::AddPreparedEntry(std::string_view name, uint32_t attributes, const Prepared& data,
                                  DosStamp stamp, std::string_view extra) {
  if (!stream_) throw Exception("No archive is open");
  std::string entry_name = NormalizeEntryName(name, *lead_);
  if (auto old = names_.find(entry_name); old != names_.end()) RemoveEntry(old->second);

  LocalHeader h;
  h.method = data.method;
  h.stamp = stamp;
  h.crc = data.crc;
  h.compressed_size = static_cast<uint32_t>(data.compressed.size());
  h.uncompressed_size = data.size;
  h.name = entry_name;
  h.extra = extra;

  CentralRecord r;
  r.method = h.method;
  r.stamp = h.stamp;
  r.crc = h.crc;
  r.compressed_size = h.compressed_size;
  r.uncompressed_size = h.uncompressed_size;
  r.external_attributes = attributes & 0xFFFF;
  r.local_offset = end_.directory_offset;
  r.name = entry_name;
  r.extra = extra;

  const uint64_t offset = end_.directory_offset;
  std::string& header = header_scratch_;
  header.clear();
  AppendLocalHeader(header, h);
  stream_->WriteAt(offset, header.data(), header.size());
  stream_->WriteAt(offset + header.size(), data.compressed.data(), data.compressed.size());
  end_.directory_offset = static_cast<uint32_t>(offset + header.size() + data.compressed.size());
  entries_.push_back(ZipEntry{std::move(r), std::move(h)});
  names_.emplace(std::move(entry_name), entries_.size() - 1);
  if (!batch_) WriteDirectory();
}

void ZipArchive::EndBatch() {
  if (!batch_) return;
  batch_ = false;
  if (stream_) WriteDirectory();
}

void ZipArchive::WriteDirectory() {
  std::string out;
  size_t size = kEndRecordSize + comment_.size();
  for (const ZipEntry& e : entries_) size += e.central.Size();
  out.reserve(size);
  for (const ZipEntry& e : entries_) AppendCentralRecord(out, e.central);
  end_.records_on_disk = end_.records_total = static_cast<uint16_t>(entries_.size());
  end_.directory_size = static_cast<uint32_t>(out.size());
  out += EncodeEndRecord(end_);
  out += comment_;
  stream_->WriteAt(end_.directory_offset, out.data(), out.size());
  stream_->Truncate(end_.directory_offset + out.size());
}

std::optional<ZipArchive::Prepared> ZipArchive::RawEntryData(size_t index) {
  const ZipEntry& e = entries_.at(index);
  const CentralRecord& c = e.central;
  if (c.flags != 0 || (c.method != kMethodStored && c.method != kMethodDeflate)) return std::nullopt;
  const std::optional<LocalHeader>& h = e.local;  // as read at the entry's offset, or as added
  if (!h || h->flags != 0 || h->method != c.method || h->compressed_size != c.compressed_size) return std::nullopt;
  const uint64_t data_position = uint64_t{c.local_offset} + h->Size();
  if (data_position + c.compressed_size > stream_->Size()) return std::nullopt;
  Prepared p;
  p.crc = c.crc;
  p.size = c.uncompressed_size;
  p.method = c.method;
  p.compressed.resize(c.compressed_size);
  if (stream_->ReadAt(data_position, p.compressed.data(), p.compressed.size()) != p.compressed.size())
    return std::nullopt;
  return p;
}

std::optional<std::string> ZipArchive::ReadEntryData(size_t index, ByteStream& from) const {
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
  const uint32_t compressed_size = CompressedSize(c, *h);
  // Refused before anything is read: what an address book never holds.
  if (c.uncompressed_size > kMaxEntrySize || compressed_size > kMaxEntrySize)
    throw EDecompressionError("Entry \"" + c.name + "\" is too large (" +
                              std::to_string(std::max(c.uncompressed_size, compressed_size)) + " bytes; at most " +
                              std::to_string(kMaxEntrySize) + " are read)");
  if (c.method == kMethodBzip2 &&
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
  std::string data(static_cast<size_t>(present), '\0');
  data.resize(from.ReadAt(data_position, data.data(), data.size()));
  // The archive ends inside the entry's data: a cut download, not a damaged entry.
  const bool cut = data.size() < compressed_size;
  std::optional<std::string> out;
  try {
    out = DecodeEntryData(c.method, data, c.uncompressed_size, cut);
  } catch (const EDecompressionError& error) {
    throw EDecompressionError(error.Message() + " in \"" + c.name + "\"");
  }
  if (out && Crc32(*out) != c.crc) throw EDecompressionError("CRC error in \"" + c.name + "\"");
  return out;
}

}  // namespace n2
