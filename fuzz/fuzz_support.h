// Helpers shared by the fuzz targets: a check that stops the run with a
// message (libFuzzer keeps the input as a crash), and the cutting of an input
// into pieces of varying size, as a socket hands them over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                          \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// AddressSanitizer keeps freed memory in quarantine (256 MB by default) to
// catch late uses; the runs' 256 MB limit is meant for what the code under
// test holds, so the quarantine is kept small. One definition per target:
// each target is one source file.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }

namespace n2::fuzz {

// Piece sizes for bytes of length size: seed 0 gives one piece, 1 single
// bytes, any other seed a mix of small and large pieces drawn from it.
inline std::vector<size_t> SplitSizes(size_t size, uint32_t seed) {
  std::vector<size_t> sizes;
  if (seed == 0) {
    if (size) sizes.push_back(size);
    return sizes;
  }
  if (seed == 1) return std::vector<size_t>(size, 1);
  uint32_t state = seed * 2654435761u | 1u;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  };
  static constexpr size_t kCaps[] = {1, 2, 5, 17, 300, 5000};
  for (size_t left = size; left > 0;) {
    const size_t cap = kCaps[next() % 6];
    const size_t piece = std::min(left, 1 + static_cast<size_t>(next()) % cap);
    sizes.push_back(piece);
    left -= piece;
  }
  return sizes;
}

// The pieces themselves.
inline std::vector<std::string_view> Split(std::string_view bytes, uint32_t seed) {
  std::vector<std::string_view> pieces;
  size_t at = 0;
  for (size_t n : SplitSizes(bytes.size(), seed)) {
    pieces.push_back(bytes.substr(at, n));
    at += n;
  }
  return pieces;
}

}  // namespace n2::fuzz
