#include "zip/zip_codec.h"

#include <bzlib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <vector>

#include "base/crc32.h"
#include "zip/zip_records.h"

namespace n2 {
namespace {

// The compressor's entry points. A 32-bit Windows build links a second build
// of libdeflate's compressor for processors with SSE2, and takes it when the
// processor has SSE2; a compressor is always freed by the build that made it.
struct DeflateBuild {
  decltype(&libdeflate_alloc_compressor) alloc;
  decltype(&libdeflate_deflate_compress) compress;
  decltype(&libdeflate_deflate_compress_bound) bound;
  decltype(&libdeflate_free_compressor) free;
};

#ifdef N2_DEFLATE_SSE2
extern "C" {
LIBDEFLATEAPI libdeflate_compressor* n2sse2_libdeflate_alloc_compressor(int level);
LIBDEFLATEAPI size_t n2sse2_libdeflate_deflate_compress(libdeflate_compressor* c, const void* in, size_t in_size,
                                                        void* out, size_t out_avail);
LIBDEFLATEAPI size_t n2sse2_libdeflate_deflate_compress_bound(libdeflate_compressor* c, size_t in_size);
LIBDEFLATEAPI void n2sse2_libdeflate_free_compressor(libdeflate_compressor* c);
}
#endif

const DeflateBuild& Deflater() {
  static const DeflateBuild build = [] {
#ifdef N2_DEFLATE_SSE2
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2"))
      return DeflateBuild{n2sse2_libdeflate_alloc_compressor, n2sse2_libdeflate_deflate_compress,
                          n2sse2_libdeflate_deflate_compress_bound, n2sse2_libdeflate_free_compressor};
#endif
    return DeflateBuild{libdeflate_alloc_compressor, libdeflate_deflate_compress, libdeflate_deflate_compress_bound,
                        libdeflate_free_compressor};
  }();
  return build;
}

// A deflate stream spends at least two bits on each match of at most 258
// bytes, so it can never decode to more than this many bytes per input byte.
constexpr uint64_t kMaxDeflateRatio = 258 * 8 / 2;

// A compressor carries match-finder tables (some 650 KB at the levels used)
// that cost more to set up than a card costs to compress. Compressors that
// finished an entry therefore wait here for the next one, a few per level,
// until ReleaseDeflateCoders; entries compressed on several threads each take
// one of their own.
class CompressorCache {
 public:
  ~CompressorCache() { Release(); }
  libdeflate_compressor* Take(int level) {
    {
      std::lock_guard guard(mutex_);
      std::vector<libdeflate_compressor*>& idle = idle_.at(static_cast<size_t>(level));
      if (!idle.empty()) {
        libdeflate_compressor* c = idle.back();
        idle.pop_back();
        return c;
      }
    }
    libdeflate_compressor* c = Deflater().alloc(level);
    if (!c) throw std::bad_alloc();
    return c;
  }
  void Give(int level, libdeflate_compressor* c) {
    {
      std::lock_guard guard(mutex_);
      std::vector<libdeflate_compressor*>& idle = idle_.at(static_cast<size_t>(level));
      if (idle.size() < kKept) {
        idle.push_back(c);
        return;
      }
    }
    Deflater().free(c);
  }
  void Release() {
    std::array<std::vector<libdeflate_compressor*>, kLevels> idle;
    {
      std::lock_guard guard(mutex_);
      idle.swap(idle_);
    }
    for (auto& list : idle)
      for (libdeflate_compressor* c : list) Deflater().free(c);
  }

 private:
  static constexpr size_t kLevels = 13;  // 0 to 12
  static constexpr size_t kKept = 4;
  std::mutex mutex_;
  std::array<std::vector<libdeflate_compressor*>, kLevels> idle_;
};

CompressorCache& Compressors() {
  static CompressorCache cache;
  return cache;
}

// A compressor taken from the cache for one entry.
struct Compressor {
  int level;
  libdeflate_compressor* c;
  explicit Compressor(int level) : level(level), c(Compressors().Take(level)) {}
  ~Compressor() { Compressors().Give(level, c); }
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
};
struct Decompressor {
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  Decompressor() {
    if (!d) throw std::bad_alloc();
  }
  ~Decompressor() { libdeflate_free_decompressor(d); }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
};
struct Bunzipper {
  bz_stream s{};
  ~Bunzipper() { BZ2_bzDecompressEnd(&s); }
};

std::optional<std::string> Inflate(std::string_view data, uint32_t size, bool data_cut) {
  // Data that cannot give size bytes ends early, whatever it holds: it is not
  // worth a buffer of that size.
  if (data.size() * kMaxDeflateRatio + 258 < size) return std::nullopt;
  Decompressor z;
  std::string out(size, '\0');
  size_t produced = 0;
  const libdeflate_result rc = libdeflate_deflate_decompress(z.d, data.data(), data.size(), out.data(), out.size(),
                                                             &produced);
  if (rc == LIBDEFLATE_SUCCESS) {
    if (produced < size) return std::nullopt;  // the stream ended early
    return out;
  }
  if (data_cut) return std::nullopt;
  if (rc == LIBDEFLATE_INSUFFICIENT_SPACE) throw EDecompressionError("Deflate data longer than its declared size");
  throw EDecompressionError("Invalid deflate data");
}

// zlib's streams, ended however their work ends.
struct ZDeflater {
  z_stream s{};
  explicit ZDeflater(int level) {
    if (deflateInit2(&s, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::bad_alloc();
  }
  ~ZDeflater() { deflateEnd(&s); }
  ZDeflater(const ZDeflater&) = delete;
  ZDeflater& operator=(const ZDeflater&) = delete;
};
struct ZInflater {
  z_stream s{};
  ZInflater() {
    if (inflateInit2(&s, -MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~ZInflater() { inflateEnd(&s); }
  ZInflater(const ZInflater&) = delete;
  ZInflater& operator=(const ZInflater&) = delete;
};

// Pieces of compressed data as a decoder takes them: the next piece once
// the last one is used up, and whether the data has ended.
class PieceInput {
 public:
  explicit PieceInput(const TPieceReader& read) : read_(read), buffer_(kStreamPiece, '\0') {}
  // Refills when empty; false at the end of the data.
  bool Fill(const char*& next, size_t& available) {
    if (available > 0) return true;
    if (ended_) return false;
    const size_t got = read_(buffer_.data(), buffer_.size());
    if (got == 0) {
      ended_ = true;
      return false;
    }
    next = buffer_.data();
    available = got;
    return true;
  }
  bool Ended() const { return ended_; }

 private:
  const TPieceReader& read_;
  std::string buffer_;
  bool ended_ = false;
};

std::optional<uint32_t> StoredPieces(const TPieceReader& read, uint32_t size, const TPieceWriter& write) {
  std::string piece(std::min<size_t>(kStreamPiece, size), '\0');
  uint32_t crc = 0;
  for (uint64_t left = size; left > 0;) {
    const size_t got = read(piece.data(), static_cast<size_t>(std::min<uint64_t>(piece.size(), left)));
    if (got == 0) return std::nullopt;  // the data holds fewer bytes
    const std::string_view bytes(piece.data(), got);
    crc = Crc32(bytes, crc);
    write(bytes);
    left -= got;
  }
  return crc;
}

std::optional<uint32_t> InflatePieces(const TPieceReader& read, uint32_t size, bool data_cut,
                                      const TPieceWriter& write) {
  ZInflater z;
  PieceInput input(read);
  const char* next = nullptr;
  size_t available = 0;
  std::string out(std::min<size_t>(kStreamPiece, size), '\0');
  uint32_t crc = 0;
  uint64_t produced = 0;
  char beyond;  // room for one byte more than size: data that has it is too long
  for (;;) {
    const bool more_input = input.Fill(next, available);
    const uint64_t left = size - produced;
    char* const room = left > 0 ? out.data() : &beyond;
    const uInt room_size = left > 0 ? static_cast<uInt>(std::min<uint64_t>(out.size(), left)) : 1;
    z.s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next));
    z.s.avail_in = static_cast<uInt>(available);
    z.s.next_out = reinterpret_cast<Bytef*>(room);
    z.s.avail_out = room_size;
    const int rc = inflate(&z.s, Z_NO_FLUSH);
    const size_t used = available - z.s.avail_in;
    next += used;
    available -= used;
    const size_t got = room_size - z.s.avail_out;
    if (left == 0 && got > 0) {
      if (data_cut) return std::nullopt;
      throw EDecompressionError("Deflate data longer than its declared size");
    }
    if (got > 0) {
      const std::string_view bytes(room, got);
      crc = Crc32(bytes, crc);
      write(bytes);
      produced += got;
    }
    if (rc == Z_STREAM_END) {
      if (produced < size) return std::nullopt;  // the stream ended early
      return crc;
    }
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    const bool stuck = rc == Z_BUF_ERROR || (used == 0 && got == 0);
    if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_STREAM_ERROR || (stuck && !more_input)) {
      if (data_cut) return std::nullopt;
      throw EDecompressionError("Invalid deflate data");
    }
  }
}

std::optional<uint32_t> Bunzip2Pieces(const TPieceReader& read, uint32_t size, bool data_cut,
                                      const TPieceWriter& write) {
  Bunzipper b;
  if (BZ2_bzDecompressInit(&b.s, 0, 0) != BZ_OK) throw EDecompressionError("Cannot start the bzip2 decoder");
  PieceInput input(read);
  const char* next = nullptr;
  size_t available = 0;
  std::string out(std::min<size_t>(kStreamPiece, size), '\0');
  uint32_t crc = 0;
  uint64_t produced = 0;
  while (produced < size) {
    const bool more_input = input.Fill(next, available);
    const size_t room = static_cast<size_t>(std::min<uint64_t>(out.size(), size - produced));
    b.s.next_in = const_cast<char*>(next);
    b.s.avail_in = static_cast<unsigned>(available);
    b.s.next_out = out.data();
    b.s.avail_out = static_cast<unsigned>(room);
    const int rc = BZ2_bzDecompress(&b.s);
    const size_t used = available - b.s.avail_in;
    next += used;
    available -= used;
    const size_t got = room - b.s.avail_out;
    if (got > 0) {
      const std::string_view bytes(out.data(), got);
      crc = Crc32(bytes, crc);
      write(bytes);
      produced += got;
    }
    if (rc == BZ_STREAM_END) break;
    if (rc == BZ_MEM_ERROR) throw std::bad_alloc();
    if (rc != BZ_OK) {
      if (data_cut) return std::nullopt;
      throw EDecompressionError("Invalid bzip2 data (error " + std::to_string(rc) + ")");
    }
    if (!more_input && got == 0) break;  // the data ended early
  }
  if (produced < size) return std::nullopt;
  return crc;
}

// The whole data decoded in memory, through the decoder of pieces: the
// output grows as it is decoded, never to the declared size at once.
std::optional<std::string> Bunzip2(std::string_view data, uint32_t size, bool data_cut) {
  const TPieceReader read = [&data](char* buffer, size_t room) {
    const size_t n = std::min(room, data.size());
    std::copy_n(data.data(), n, buffer);
    data.remove_prefix(n);
    return n;
  };
  std::string out;
  if (!Bunzip2Pieces(read, size, data_cut, [&out](std::string_view piece) { out += piece; })) return std::nullopt;
  return out;
}

}  // namespace

DeflatedPieces DeflatePieces(int level, const TPieceReader& read, const TPieceWriter& write) {
  ZDeflater z(level < 0 ? Z_DEFAULT_COMPRESSION : std::min(level, 9));
  std::string in(kStreamPiece, '\0'), out(kStreamPiece, '\0');
  DeflatedPieces result;
  for (bool end = false; !end;) {
    const size_t got = read(in.data(), in.size());
    end = got == 0;
    result.crc = Crc32(std::string_view(in.data(), got), result.crc);
    result.size += got;
    z.s.next_in = reinterpret_cast<Bytef*>(in.data());
    z.s.avail_in = static_cast<uInt>(got);
    int rc;
    do {
      z.s.next_out = reinterpret_cast<Bytef*>(out.data());
      z.s.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&z.s, end ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) throw EDecompressionError("Deflate failed");
      const size_t made = out.size() - z.s.avail_out;
      if (made > 0) write(std::string_view(out.data(), made));
      result.compressed += made;
    } while (z.s.avail_out == 0 || (end && rc != Z_STREAM_END));
  }
  return result;
}

std::optional<uint32_t> DecodeEntryPieces(uint16_t method, const TPieceReader& read, uint32_t size, bool data_cut,
                                          const TPieceWriter& write) {
  if (size > kMaxEntrySize)
    throw EDecompressionError("Entry of " + std::to_string(size) + " bytes refused (at most " +
                              std::to_string(kMaxEntrySize) + " bytes are decoded)");
  if (size == 0) return 0;
  switch (method) {
    case kMethodStored:
      return StoredPieces(read, size, write);
    case kMethodDeflate:
      return InflatePieces(read, size, data_cut, write);
    case kMethodBzip2:
      return Bunzip2Pieces(read, size, data_cut, write);
    default:
      throw EDecompressionError("Unsupported compression method " + std::to_string(method));
  }
}

std::string DeflateRaw(std::string_view data, int level) {
  Compressor z(level < 0 ? 6 : std::min(level, 12));
  std::string out(Deflater().bound(z.c, data.size()), '\0');
  const size_t n = Deflater().compress(z.c, data.data(), data.size(), out.data(), out.size());
  if (n == 0) throw EDecompressionError("Deflate failed");
  out.resize(n);
  return out;
}

void ReleaseDeflateCoders() { Compressors().Release(); }

std::optional<std::string> DecodeEntryData(uint16_t method, std::string_view data, uint32_t size, bool data_cut) {
  if (size > kMaxEntrySize)
    throw EDecompressionError("Entry of " + std::to_string(size) + " bytes refused (at most " +
                              std::to_string(kMaxEntrySize) + " bytes are decoded)");
  if (size == 0) return std::string();
  switch (method) {
    case kMethodStored:
      if (data.size() < size) return std::nullopt;
      return std::string(data.substr(0, size));
    case kMethodDeflate:
      return Inflate(data, size, data_cut);
    case kMethodBzip2:
      return Bunzip2(data, size, data_cut);
    default:
      throw EDecompressionError("Unsupported compression method " + std::to_string(method));
  }
}

}  // namespace n2
