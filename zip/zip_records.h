// The records of a zip archive (local header, central directory record, end
// record), read and written field by field through a small byte-stream
// interface, together with the checksum, the DOS time stamps and the rules for
// entry names. Free of windows.h so that it builds and is tested everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_stream.h"
#include "base/code_page.h"
#include "base/crc32.h"
#include "base/exception.h"
#include "base/file_system.h"
#include "state/card_identity.h"

namespace n2 {

// Raised when an entry's data cannot be decoded or does not match its checksum.
N2_DECLARE_EXCEPTION(EDecompressionError, Exception);
// Raised when what is packed does not fit into an archive without its 64-bit
// records: too many entries, a card or an archive too large.
N2_DECLARE_EXCEPTION(EArchiveLimit, Exception);

// A count with its thousands grouped by commas ("70,000"), for messages.
std::string GroupedNumber(uint64_t n);

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralRecordSignature = 0x02014B50;
inline constexpr uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralRecordSize = 46;
inline constexpr size_t kEndRecordSize = 22;

// Little-endian field helpers over a byte buffer.
uint16_t GetU16(const unsigned char* p);
uint32_t GetU32(const unsigned char* p);
void PutU16(std::string& out, uint16_t value);
void PutU32(std::string& out, uint32_t value);

// DOS time and date fields; both 0 outside the years 1980 to 2107.
struct DosStamp {
  uint16_t time = 0;
  uint16_t date = 0;
};
DosStamp EncodeDosStamp(const LocalTime& t);
// The parts of a DOS stamp, or nothing when the date is not a real date.
std::optional<LocalTime> DecodeDosStamp(DosStamp stamp);

struct LocalHeader {
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = 0;
  DosStamp stamp;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  std::string name;
  std::string extra;

  uint64_t Size() const { return kLocalHeaderSize + name.size() + extra.size(); }
};

struct CentralRecord {
  uint16_t version_made_by = 20;
  uint16_t version_needed = 20;
  uint16_t flags = 0;
  uint16_t method = 0;
  DosStamp stamp;
  uint32_t crc = 0;
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint16_t disk_start = 0;
  uint16_t internal_attributes = 0;
  uint32_t external_attributes = 0;
  uint32_t local_offset = 0;
  std::string name;
  std::string extra;
  std::string comment;

  uint64_t Size() const { return kCentralRecordSize + name.size() + extra.size() + comment.size(); }
};

struct EndRecord {
  uint16_t disk = 0;
  uint16_t directory_disk = 0;
  uint16_t records_on_disk = 0;
  uint16_t records_total = 0;
  uint32_t directory_size = 0;
  uint32_t directory_offset = 0;
  uint16_t comment_length = 0;
};

// Record encoders: the fixed bytes followed by the variable fields.
std::string EncodeLocalHeader(const LocalHeader& h);
std::string EncodeCentralRecord(const CentralRecord& r);
// The same bytes appended to out.
void AppendLocalHeader(std::string& out, const LocalHeader& h);
void AppendCentralRecord(std::string& out, const CentralRecord& r);
std::string EncodeEndRecord(const EndRecord& e);

// The extra field block in which a card version's identity travels: header
// 0x324E ("N2"), then a version byte (1), a flags byte, the installation and
// the stamp (8 bytes each). With flag 1, the versions it was made over follow:
// their count (2 bytes) and each installation and latest stamp (8 bytes
// each). Readers of version 1 read the identity and skip the rest, and every
// zip reader skips blocks it does not know.
inline constexpr uint16_t kIdentityFieldId = 0x324E;
// The most versions made over a block tells (one per installation that
// edited the card).
inline constexpr size_t kMostIdentityOver = 256;
// The block with the versions made over when with_over and they are known
// (the directory record's), else the identity alone (the local header's).
std::string EncodeIdentityField(const CardIdentity& identity, bool with_over);
// The same appended to out.
void AppendIdentityField(std::string& out, const CardIdentity& identity, bool with_over);
// The identity in an extra field, when it holds our block (of version 1),
// with the versions it was made over when the block tells them.
std::optional<CardIdentity> IdentityInExtraField(std::string_view extra);

// Record decoders: read the record starting at position (signature included);
// raise EReadError when the stream ends early. ReadLocalHeader and
// ReadCentralRecord return nothing when the signature is not there.
std::optional<LocalHeader> ReadLocalHeader(ByteStream& s, uint64_t position);
std::optional<CentralRecord> ReadCentralRecord(ByteStream& s, uint64_t position);
EndRecord DecodeEndRecord(const unsigned char* p);

// Searches the end record over the ranges a reader looks at: 256 bytes before
// the last possible place, then 1 KB more for streams of at least 1 KB, then
// 64 KB more for streams of at least 64 KB. Returns its position.
std::optional<uint64_t> FindEndRecord(ByteStream& s);

// Entry names. They are 8-bit texts in the system's code page; lead tells
// which bytes begin a double-byte character, so that a second byte that
// equals "\" or a letter is never taken for one.
// Older packers of the address book wrote every byte 0x5C of a path as "/",
// the second byte of a double-byte character too (表, 95 5C, as 95 2F). No
// character ends in "/", so wherever a name is read, a lead byte followed by
// "/" is the character whose second byte is 0x5C. (The names this packer
// writes come from the file system and never hold one.)
// A lead byte followed by "/" is read as above, "\" becomes "/", and a
// leading drive ("X:/") or server and share ("//server/share/") is cut off.
std::string NormalizeEntryName(std::string_view name, const LeadBytes& lead);
// The same into out, whose storage is reused.
void NormalizeEntryName(std::string_view name, const LeadBytes& lead, std::string& out);
// Whether NormalizeEntryName gives name back unchanged.
bool IsNormalEntryName(std::string_view name, const LeadBytes& lead);
// A 64-bit hash of a name folded as FoldCase folds it (FNV-1a): names that
// compare equal without regard to case hash alike.
uint64_t FoldedNameHash(std::string_view name, const LeadBytes& lead);
// path without root (compared without regard to case) and one following "\".
std::string RelativeName(std::string_view path, std::string_view root, const LeadBytes& lead);
// The same as a part of path.
std::string_view RelativePart(std::string_view path, std::string_view root, const LeadBytes& lead);
// Wildcard match over the whole text without regard to case: "*" any run, "?" any one character.
bool WildcardMatch(std::string_view mask, std::string_view text, const LeadBytes& lead);

// Where an entry goes when extracted: a folder part ending with "\" (or empty)
// and a file part (empty for a folder entry), both relative to the target.
struct ExtractPath {
  std::string folder;
  std::string file;
};
// Splits a stored name for extraction (a lead byte followed by "/" read as
// NormalizeEntryName reads it); nothing when the name could lead
// outside the target folder or to a device: a ".." component (or any
// component of dots and blanks only), a leading separator, a drive or stream
// colon, a server prefix, a reserved character or a reserved device name.
std::optional<ExtractPath> SafeExtractPath(std::string_view stored_name, const LeadBytes& lead);

}  // namespace n2
