#include "zip/zip_records.h"


#include <algorithm>
#include <cstring>

namespace n2 {

uint16_t GetU16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t GetU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

void PutU16(std::string& out, uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

void PutU32(std::string& out, uint32_t value) {
  PutU16(out, static_cast<uint16_t>(value & 0xFFFF));
  PutU16(out, static_cast<uint16_t>(value >> 16));
}

std::string GroupedNumber(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

DosStamp EncodeDosStamp(const LocalTime& t) {
  if (t.year < 1980 || t.year > 2107) return {};
  DosStamp s;
  s.time = static_cast<uint16_t>((t.second / 2) | (t.minute << 5) | (t.hour << 11));
  s.date = static_cast<uint16_t>(t.day | (t.month << 5) | ((t.year - 1980) << 9));
  return s;
}

std::optional<LocalTime> DecodeDosStamp(DosStamp stamp) {
  LocalTime t;
  t.year = 1980 + (stamp.date >> 9);
  t.month = (stamp.date >> 5) & 0x0F;
  t.day = stamp.date & 0x1F;
  t.hour = stamp.time >> 11;
  t.minute = (stamp.time >> 5) & 0x3F;
  t.second = (stamp.time & 0x1F) * 2;
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.month < 1 || t.month > 12 || t.day < 1) return std::nullopt;
  bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
  int days = (t.month == 2 && !leap) ? 28 : kDays[t.month - 1];
  if (t.day > days || t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  return t;
}

std::string EncodeLocalHeader(const LocalHeader& h) {
  std::string out;
  out.reserve(h.Size());
  AppendLocalHeader(out, h);
  return out;
}

void AppendLocalHeader(std::string& out, const LocalHeader& h) {
  PutU32(out, kLocalHeaderSignature);
  PutU16(out, h.version_needed);
  PutU16(out, h.flags);
  PutU16(out, h.method);
  PutU16(out, h.stamp.time);
  PutU16(out, h.stamp.date);
  PutU32(out, h.crc);
  PutU32(out, h.compressed_size);
  PutU32(out, h.uncompressed_size);
  PutU16(out, static_cast<uint16_t>(h.name.size()));
  PutU16(out, static_cast<uint16_t>(h.extra.size()));
  out += h.name;
  out += h.extra;
}

std::string EncodeCentralRecord(const CentralRecord& r) {
  std::string out;
  out.reserve(r.Size());
  AppendCentralRecord(out, r);
  return out;
}

void AppendCentralRecord(std::string& out, const CentralRecord& r) {
  PutU32(out, kCentralRecordSignature);
  PutU16(out, r.version_made_by);
  PutU16(out, r.version_needed);
  PutU16(out, r.flags);
  PutU16(out, r.method);
  PutU16(out, r.stamp.time);
  PutU16(out, r.stamp.date);
  PutU32(out, r.crc);
  PutU32(out, r.compressed_size);
  PutU32(out, r.uncompressed_size);
  PutU16(out, static_cast<uint16_t>(r.name.size()));
  PutU16(out, static_cast<uint16_t>(r.extra.size()));
  PutU16(out, static_cast<uint16_t>(r.comment.size()));
  PutU16(out, r.disk_start);
  PutU16(out, r.internal_attributes);
  PutU32(out, r.external_attributes);
  PutU32(out, r.local_offset);
  out += r.name;
  out += r.extra;
  out += r.comment;
}

std::string EncodeEndRecord(const EndRecord& e) {
  std::string out;
  out.reserve(kEndRecordSize);
  PutU32(out, kEndRecordSignature);
  PutU16(out, e.disk);
  PutU16(out, e.directory_disk);
  PutU16(out, e.records_on_disk);
  PutU16(out, e.records_total);
  PutU32(out, e.directory_size);
  PutU32(out, e.directory_offset);
  PutU16(out, e.comment_length);
  return out;
}

std::optional<LocalHeader> ReadLocalHeader(ByteStream& s, uint64_t position) {
  unsigned char b[kLocalHeaderSize];
  s.ReadExactAt(position, b, sizeof b);
  if (GetU32(b) != kLocalHeaderSignature) return std::nullopt;
  LocalHeader h;
  h.version_needed = GetU16(b + 4);
  h.flags = GetU16(b + 6);
  h.method = GetU16(b + 8);
  h.stamp.time = GetU16(b + 10);
  h.stamp.date = GetU16(b + 12);
  h.crc = GetU32(b + 14);
  h.compressed_size = GetU32(b + 18);
  h.uncompressed_size = GetU32(b + 22);
  uint16_t name_length = GetU16(b + 26);
  uint16_t extra_length = GetU16(b + 28);
  h.name = s.ReadStringAt(position + kLocalHeaderSize, name_length);
  h.extra = s.ReadStringAt(position + kLocalHeaderSize + name_length, extra_length);
  return h;
}

std::optional<CentralRecord> ReadCentralRecord(ByteStream& s, uint64_t position) {
  unsigned char b[kCentralRecordSize];
  s.ReadExactAt(position, b, sizeof b);
  if (GetU32(b) != kCentralRecordSignature) return std::nullopt;
  CentralRecord r;
  r.version_made_by = GetU16(b + 4);
  r.version_needed = GetU16(b + 6);
  r.flags = GetU16(b + 8);
  r.method = GetU16(b + 10);
  r.stamp.time = GetU16(b + 12);
  r.stamp.date = GetU16(b + 14);
  r.crc = GetU32(b + 16);
  r.compressed_size = GetU32(b + 20);
  r.uncompressed_size = GetU32(b + 24);
  uint16_t name_length = GetU16(b + 28);
  uint16_t extra_length = GetU16(b + 30);
  uint16_t comment_length = GetU16(b + 32);
  r.disk_start = GetU16(b + 34);
  r.internal_attributes = GetU16(b + 36);
  r.external_attributes = GetU32(b + 38);
  r.local_offset = GetU32(b + 42);
  uint64_t p = position + kCentralRecordSize;
  r.name = s.ReadStringAt(p, name_length);
  r.extra = s.ReadStringAt(p + name_length, extra_length);
  r.comment = s.ReadStringAt(p + name_length + extra_length, comment_length);
  return r;
}

EndRecord DecodeEndRecord(const unsigned char* p) {
  EndRecord e;
  e.disk = GetU16(p + 4);
  e.directory_disk = GetU16(p + 6);
  e.records_on_disk = GetU16(p + 8);
  e.records_total = GetU16(p + 10);
  e.directory_size = GetU32(p + 12);
  e.directory_offset = GetU32(p + 16);
  e.comment_length = GetU16(p + 20);
  return e;
}

std::optional<uint64_t> FindEndRecord(ByteStream& s) {
  const int64_t size = static_cast<int64_t>(s.Size());
  if (size < static_cast<int64_t>(kEndRecordSize)) return std::nullopt;
  // The farthest the search reaches back; the tail is read once and searched in memory.
  const int64_t window_start = std::max<int64_t>(0, size - 66582);
  std::string tail(static_cast<size_t>(size - window_start), '\0');
  tail.resize(s.ReadAt(static_cast<uint64_t>(window_start), tail.data(), tail.size()));
  const int64_t tail_end = window_start + static_cast<int64_t>(tail.size());
  auto signature_at = [&](int64_t p, bool& starts_with_p) {
    starts_with_p = false;
    if (p < window_start || p + 4 > tail_end) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(tail.data() + (p - window_start));
    starts_with_p = b[0] == 0x50;
    return GetU32(b) == kEndRecordSignature;
  };
  struct Range {
    int64_t from, to;
  };
  std::vector<Range> ranges{{size - 22, size - 278}};
  if (size >= 1024) ranges.push_back({size - 278, size - 1302});
  if (size >= 65536) ranges.push_back({size - 1046, size - 66582});
  for (const Range& r : ranges) {
    for (int64_t p = r.from; p >= r.to && p >= 0;) {
      bool starts_with_p = false;
      if (signature_at(p, starts_with_p)) return static_cast<uint64_t>(p);
      p -= starts_with_p ? 4 : 1;
    }
  }
  return std::nullopt;
}

namespace {

// Position of the first lead byte that starts a character and is followed by
// "/", or npos.
size_t FindLeadBeforeSlash(std::string_view name, const LeadBytes& lead) {
  for (size_t i = 0; i + 1 < name.size(); i += lead.CharLength(name, i))
    if (lead.IsLead(name[i]) && name[i + 1] == '/') return i;
  return std::string_view::npos;
}

// Reads every lead byte followed by "/" as the character whose second byte
// is 0x5C, as older packers meant it. The characters keep their places.
void RestoreSecondBytes(std::string& name, const LeadBytes& lead) {
  for (size_t i = FindLeadBeforeSlash(name, lead); i < name.size(); i += lead.CharLength(name, i))
    if (lead.IsLead(name[i]) && i + 1 < name.size() && name[i + 1] == '/') name[i + 1] = '\\';
}

}  // namespace

bool IsNormalEntryName(std::string_view name, const LeadBytes& lead) {
  // In one pass: no "\\", ":/" or "//" at a character's start, and no lead
  // byte before "/".
  for (size_t i = 0; i < name.size();) {
    const char c = name[i];
    const char next = i + 1 < name.size() ? name[i + 1] : '\0';
    if (lead.IsLead(c) && next == '/') return false;
    if (lead.CharLength(name, i) == 2) {
      i += 2;
      continue;
    }
    if (c == '\\' || ((c == ':' || c == '/') && next == '/')) return false;
    ++i;
  }
  return true;
}

std::string NormalizeEntryName(std::string_view name, const LeadBytes& lead) {
  std::string s;
  NormalizeEntryName(name, lead, s);
  return s;
}

void NormalizeEntryName(std::string_view name, const LeadBytes& lead, std::string& s) {
  s.assign(name);
  if (IsNormalEntryName(name, lead)) return;  // nearly every name
  RestoreSecondBytes(s, lead);
  ReplaceCharInPlace(s, '\\', '/', lead);
  if (size_t drive = FindText(s, ":/", lead); drive != std::string::npos) s.erase(0, drive + 2);
  if (size_t server = FindText(s, "//", lead); server != std::string::npos) {
    s.erase(0, server + 2);
    for (int part = 0; part < 2; ++part) {  // the server name, then the share name
      size_t slash = FindChar(s, '/', lead);
      if (slash == std::string::npos) break;
      s.erase(0, slash + 1);
    }
  }
}

uint64_t FoldedNameHash(std::string_view name, const LeadBytes& lead) {
  // FNV-1a over the bytes FoldCase gives, without making the folded copy.
  uint64_t h = 0xCBF29CE484222325ull;
  for (size_t i = 0; i < name.size();) {
    const size_t length = lead.CharLength(name, i);
    for (size_t k = 0; k < length; ++k)
      h = (h ^ static_cast<unsigned char>(k == 0 ? FoldLetter(name[i]) : name[i + k])) * 0x100000001B3ull;
    i += length;
  }
  return h;
}

std::string RelativeName(std::string_view path, std::string_view root, const LeadBytes& lead) {
  return std::string(RelativePart(path, root, lead));
}

std::string_view RelativePart(std::string_view path, std::string_view root, const LeadBytes& lead) {
  // Folding keeps every byte in place, so equal folded prefixes are equal
  // characters: root's characters are complete, and path splits the same way.
  if (!StartsCaseBlind(path, root, lead)) return path;
  std::string_view rest = path.substr(root.size());
  if (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
  return rest;
}

bool WildcardMatch(std::string_view m, std::string_view t, const LeadBytes& lead) {
  // The packer's mask, once for every file of a book: "*.*" takes a text
  // with a "." anywhere, and as no second byte of a double-byte character is
  // a ".", every "." byte is one.
  if (m == "*.*") return t.find('.') != std::string_view::npos;
  // Positions step over whole characters; "?" takes one character, of one
  // byte or two, and characters are compared without regard to case.
  // Iterative match with backtracking to the last "*": linear in practice,
  // never exponential.
  auto next = [&](std::string_view s, size_t i) { return i + lead.CharLength(s, i); };
  auto same = [&](size_t mi, size_t ti) {
    const size_t length = lead.CharLength(m, mi);
    if (length != lead.CharLength(t, ti)) return false;
    return length == 2 ? m.substr(mi, 2) == t.substr(ti, 2) : FoldLetter(m[mi]) == FoldLetter(t[ti]);
  };
  size_t mi = 0, ti = 0, star = std::string::npos, star_text = 0;
  while (ti < t.size()) {
    if (mi < m.size() && m[mi] == '*') {
      star = mi++;
      star_text = ti;
    } else if (mi < m.size() && (m[mi] == '?' || same(mi, ti))) {
      mi = next(m, mi);
      ti = next(t, ti);
    } else if (star != std::string::npos) {
      mi = star + 1;
      ti = star_text = next(t, star_text);
    } else {
      return false;
    }
  }
  while (mi < m.size() && m[mi] == '*') ++mi;
  return mi == m.size();
}

namespace {

bool IsDeviceName(std::string_view component, const LeadBytes& lead) {
  std::string base = FoldCase(component.substr(0, FindChar(component, '.', lead)), lead);
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* n : kNames)
    if (base == n) return true;
  if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) && base[3] >= '0' &&
      base[3] <= '9')
    return true;
  return false;
}

bool IsSafeComponent(std::string_view c, const LeadBytes& lead) {
  if (c.find_first_not_of(". ") == std::string_view::npos) return c == ".";  // "..", "...", " " lead elsewhere
  for (size_t i = 0; i < c.size(); i += lead.CharLength(c, i)) {
    if (lead.CharLength(c, i) == 2) continue;  // a double-byte character is never a reserved one
    const unsigned char ch = static_cast<unsigned char>(c[i]);
    if (ch < 0x20 || ch == ':' || ch == '*' || ch == '?' || ch == '"' || ch == '<' || ch == '>' || ch == '|')
      return false;
  }
  return !IsDeviceName(c, lead);
}

}  // namespace

std::optional<ExtractPath> SafeExtractPath(std::string_view stored_name, const LeadBytes& lead) {
  std::string name(stored_name);
  RestoreSecondBytes(name, lead);  // before anything splits the name at "/"
  ReplaceCharInPlace(name, '\\', '/', lead);
  if (name.empty() || name.front() == '/') return std::nullopt;  // absolute or server path
  ExtractPath out;
  size_t start = 0;
  while (start <= name.size()) {
    // start is a character boundary (0, or just past a "/"), so the search
    // may begin there: scanning from the front for every component would
    // take time growing with the square of the name (names run to 64 KB).
    const size_t found = FindChar(std::string_view(name).substr(start), '/', lead);
    const bool last = found == std::string::npos;
    const size_t slash = last ? std::string::npos : start + found;
    std::string_view c = std::string_view(name).substr(start, last ? std::string::npos : slash - start);
    if (!c.empty()) {
      if (!IsSafeComponent(c, lead)) return std::nullopt;
      if (last) {
        out.file = c;
      } else if (c != ".") {
        out.folder += c;
        out.folder += '\\';
      }
    }
    if (last) break;
    start = slash + 1;
  }
  if (out.file == ".") out.file.clear();
  return out;
}

}  // namespace n2

namespace n2 {

std::string EncodeIdentityField(const CardIdentity& identity, bool with_over) {
  std::string field;
  AppendIdentityField(field, identity, with_over);
  return field;
}

void AppendIdentityField(std::string& field, const CardIdentity& identity, bool with_over) {
  const auto put_u64 = [&](uint64_t value) {
    PutU32(field, static_cast<uint32_t>(value));
    PutU32(field, static_cast<uint32_t>(value >> 32));
  };
  size_t count = 0;
  if (with_over && identity.over) identity.over->ForEach([&](uint64_t, uint64_t) { ++count; });
  // More than an office has installations are not told: the version then
  // tells nothing of its past, as one of an earlier build.
  const bool over = with_over && identity.over && count <= kMostIdentityOver;
  PutU16(field, kIdentityFieldId);
  PutU16(field, static_cast<uint16_t>(18 + (over ? 2 + 16 * count : 0)));
  field += '\x01';
  field += over ? '\x01' : '\0';
  put_u64(identity.installation);
  put_u64(identity.stamp);
  if (!over) return;
  PutU16(field, static_cast<uint16_t>(count));
  identity.over->ForEach([&](uint64_t installation, uint64_t stamp) {
    put_u64(installation);
    put_u64(stamp);
  });
}

std::optional<CardIdentity> IdentityInExtraField(std::string_view extra) {
  const auto* p = reinterpret_cast<const unsigned char*>(extra.data());
  const auto get_u64 = [](const unsigned char* v) { return uint64_t{GetU32(v)} | uint64_t{GetU32(v + 4)} << 32; };
  for (size_t at = 0; at + 4 <= extra.size();) {
    const uint16_t id = GetU16(p + at), size = GetU16(p + at + 2);
    if (at + 4 + size > extra.size()) break;
    if (id == kIdentityFieldId && size >= 18 && p[at + 4] == 1) {
      const unsigned char* v = p + at + 6;
      CardIdentity identity{get_u64(v), get_u64(v + 8), std::nullopt};
      // The versions made over, when the block holds all it announces.
      if ((p[at + 5] & 1) && size >= 20) {
        const size_t count = GetU16(v + 16);
        if (count <= kMostIdentityOver && 20 + 16 * count <= size) {
          identity.over.emplace();
          for (size_t k = 0; k < count; ++k)
            identity.over->Add(CardIdentity{get_u64(v + 18 + 16 * k), get_u64(v + 26 + 16 * k), std::nullopt});
        }
      }
      return identity;
    }
    at += 4 + size;
  }
  return std::nullopt;
}

}  // namespace n2
