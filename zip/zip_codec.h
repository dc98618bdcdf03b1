// Compression of entry data (raw deflate through zlib) and decompression of
// the methods a reader accepts: 0 stored, 8 deflate, 12 bzip2.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace n2 {

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflate = 8;
inline constexpr uint16_t kMethodBzip2 = 12;

// The whole of data as a raw deflate stream (window bits 15, memory level 8,
// default strategy) at the given zlib level (-1 default, 0 to 9).
std::string DeflateRaw(std::string_view data, int level);

// Decodes compressed data of the given method into exactly size bytes.
// Returns nothing when the data ends before size bytes came out (a cut
// entry); raises EDecompressionError when the data is malformed. Output beyond
// size is not produced.
std::optional<std::string> DecodeEntryData(uint16_t method, std::string_view data, uint32_t size);

}  // namespace n2
