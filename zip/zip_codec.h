// Compression of entry data (raw deflate) and decompression of the methods a
// reader accepts: 0 stored, 8 deflate, 12 bzip2.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;
inline constexpr uint16_t kMethodBzip2 = 12;

// The largest entry an archive holds, packed or unpacked alike: its sizes are
// 32-bit fields, and 0xFFFFFFFF marks sizes kept in 64-bit records, which
// this archive never has. A card of more is refused by the packer, an entry
// declaring more by the reader.
inline constexpr uint32_t kMaxEntrySize = 0xFFFFFFFEu;

// Entries above this size are compressed and decoded in pieces (with zlib's
// streams), never held whole in memory; smaller ones are handled whole (with
// libdeflate, which is faster on them).
inline constexpr uint32_t kStreamedEntrySize = 4u << 20;
// The size of those pieces.
inline constexpr size_t kStreamPiece = 1u << 20;

// No deflate stream gives more than 1032 bytes for each of its bytes (runs of
// 258 bytes coded in two bits); bzip2 can give millions, so a few hundred
// bytes would decode to gigabytes. An entry that declares more than deflate
// could give from as much data (plus a little for the stream's own headers)
// is refused: deflate data cannot hold it, and an address book is never that
// repetitive. An entry
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

// Gives up to the given number of bytes into buffer and returns how many it
// gave; 0 at the end.
using TPieceReader = std::function<size_t(char* buffer, size_t size)>;
// Takes the next piece.
using TPieceWriter = std::function<void(std::string_view piece)>;

// What DeflatePieces read and wrote.
struct DeflatedPieces {
  uint32_t crc = 0;
  uint64_t size = 0;        // bytes read
  uint64_t compressed = 0;  // bytes written
};
// Compresses everything read gives into a raw deflate stream (zlib's, window
// bits 15, memory level 8), handed to write in pieces.
DeflatedPieces DeflatePieces(int level, const TPieceReader& read, const TPieceWriter& write);

// DecodeEntryData in pieces: compressed data read in pieces (present bytes
// of it can be had; data_cut as above), decoded bytes handed to write in
// pieces, never more than size in all. Returns the CRC-32 of the size bytes
// decoded, or nothing where DecodeEntryData returns nothing; raises where it
// raises. Memory stays a few pieces whatever the sizes.
std::optional<uint32_t> DecodeEntryPieces(uint16_t method, const TPieceReader& read, uint32_t size, bool data_cut,
                                          const TPieceWriter& write);

}  // namespace n2
