#include "zip/zip_codec.h"

#include <bzlib.h>
#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <vector>

#include "zip/zip_records.h"

namespace n2 {
namespace {

constexpr size_t kChunk = 1u << 20;

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

// Grows out by up to one chunk, never past size; returns the free room.
size_t Grow(std::string& out, size_t used, uint32_t size) {
  size_t want = std::min<size_t>(size, used + kChunk);
  if (out.size() < want) out.resize(want);
  return want - used;
}

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

std::optional<std::string> Bunzip2(std::string_view data, uint32_t size, bool data_cut) {
  Bunzipper b;
  if (BZ2_bzDecompressInit(&b.s, 0, 0) != BZ_OK) throw EDecompressionError("Cannot start the bzip2 decoder");
  b.s.next_in = const_cast<char*>(data.data());
  b.s.avail_in = static_cast<unsigned>(data.size());
  std::string out;
  size_t used = 0;
  while (used < size) {
    size_t room = Grow(out, used, size);
    b.s.next_out = out.data() + used;
    b.s.avail_out = static_cast<unsigned>(room);
    int rc = BZ2_bzDecompress(&b.s);
    size_t got = room - b.s.avail_out;
    used += got;
    if (rc == BZ_STREAM_END) break;
    if (rc == BZ_MEM_ERROR) throw std::bad_alloc();
    if (rc != BZ_OK) {
      if (data_cut) return std::nullopt;
      throw EDecompressionError("Invalid bzip2 data (error " + std::to_string(rc) + ")");
    }
    if (b.s.avail_in == 0 && got == 0) break;  // the data ended early
  }
  if (used < size) return std::nullopt;
  out.resize(used);
  return out;
}

}  // namespace

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
