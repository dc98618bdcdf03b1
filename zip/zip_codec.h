// Compression of entry data (raw deflate) and decompression of the methods a
// reader accepts: 0 stored, 8 deflate, 12 bzip2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;
inline constexpr uint16_t kMethodBzip2 = 12;

// The largest entry a reader decodes. Address-book cards are a few kilobytes;
// an entry declaring more is refused, so that a hostile archive cannot make
// the mail client's 32-bit process spend its address space.
inline constexpr uint32_t kMaxEntrySize = 64u << 20;

// No deflate stream gives more than 1032 bytes for each of its bytes (runs of
// 258 bytes coded in two bits); bzip2 can give millions, so a few hundred
// bytes would decode to gigabytes. A bzip2 entry that declares more than
// deflate could give from as much data (plus a little for the stream's own
// headers) is refused: an address book is never that repetitive. An entry
// cut short whose bytes present could not give its declared size is skipped
// without being decoded.
inline constexpr uint32_t kMaxExpansion = 1032;
inline constexpr uint32_t kExpansionSlack = 1024;

// The whole of data as a raw deflate stream, at a level on zlib's scale: -1
// the default (6), 0 uncompressed blocks, 1 fastest to 9 smallest.
// Compressors are kept from one call to the next; ReleaseDeflateCoders frees
// the ones not in use.
std::string DeflateRaw(std::string_view data, int level);
void ReleaseDeflateCoders();

// Decodes compressed data of the given method into exactly size bytes.
// Nothing beyond size is ever allocated or produced.
// data_cut says that the archive ended before all of the entry's compressed
// data: data that then cannot be decoded is a cut entry, not a malformed one.
// Returns nothing for a cut entry and when the data ends before size bytes
// came out. Raises EDecompressionError when size is above kMaxEntrySize and
// when the data is malformed or decodes to more than size bytes.
std::optional<std::string> DecodeEntryData(uint16_t method, std::string_view data, uint32_t size,
                                           bool data_cut = false);

}  // namespace n2
