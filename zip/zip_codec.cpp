#include "zip/zip_codec.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <new>

#include "zip/zip_records.h"

namespace n2 {
namespace {

constexpr size_t kChunk = 1u << 20;

// Owners of the decompressors' states.
struct Deflater {
  z_stream s{};
  ~Deflater() { deflateEnd(&s); }
};
struct Inflater {
  z_stream s{};
  ~Inflater() { inflateEnd(&s); }
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

std::optional<std::string> Inflate(std::string_view data, uint32_t size) {
  Inflater z;
  if (inflateInit2(&z.s, -MAX_WBITS) != Z_OK) throw EDecompressionError("Cannot start the deflate decoder");
  z.s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.s.avail_in = static_cast<uInt>(data.size());
  std::string out;
  size_t used = 0;
  while (used < size) {
    size_t room = Grow(out, used, size);
    z.s.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    z.s.avail_out = static_cast<uInt>(room);
    int rc = inflate(&z.s, Z_NO_FLUSH);
    used += room - z.s.avail_out;
    if (rc == Z_STREAM_END) break;
    if (rc == Z_BUF_ERROR || (rc == Z_OK && z.s.avail_in == 0 && used < size && z.s.avail_out != 0)) break;
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK)
      throw EDecompressionError(std::string("Invalid deflate data (") + (z.s.msg ? z.s.msg : "error") + ")");
  }
  if (used < size) return std::nullopt;
  out.resize(used);
  return out;
}

std::optional<std::string> Bunzip2(std::string_view data, uint32_t size) {
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
    if (rc != BZ_OK) throw EDecompressionError("Invalid bzip2 data (error " + std::to_string(rc) + ")");
    if (b.s.avail_in == 0 && got == 0) break;  // the data ended early
  }
  if (used < size) return std::nullopt;
  out.resize(used);
  return out;
}

}  // namespace

std::string DeflateRaw(std::string_view data, int level) {
  Deflater z;
  if (deflateInit2(&z.s, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw EDecompressionError("Cannot start the deflate encoder");
  std::string out(deflateBound(&z.s, static_cast<uLong>(data.size())), '\0');
  z.s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.s.avail_in = static_cast<uInt>(data.size());
  z.s.next_out = reinterpret_cast<Bytef*>(out.data());
  z.s.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z.s, Z_FINISH) != Z_STREAM_END) throw EDecompressionError("Deflate failed");
  out.resize(z.s.total_out);
  return out;
}

std::optional<std::string> DecodeEntryData(uint16_t method, std::string_view data, uint32_t size) {
  if (size == 0) return std::string();
  switch (method) {
    case kMethodStored:
      if (data.size() < size) return std::nullopt;
      return std::string(data.substr(0, size));
    case kMethodDeflate:
      return Inflate(data, size);
    case kMethodBzip2:
      return Bunzip2(data, size);
    default:
      throw EDecompressionError("Unsupported compression method " + std::to_string(method));
  }
}

}  // namespace n2
