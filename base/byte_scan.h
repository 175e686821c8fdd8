// Looking for a few byte values sixteen bytes at a time: for the record writers, whose names
// and strings hold such bytes (quotes, backslashes, line ends) only here and there.
#ifndef DORVALEX_BASE_BYTE_SCAN_H_
#define DORVALEX_BASE_BYTE_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Sixteen bytes as one vector of the compiler's (SSE2 on x86-64): comparing it with a byte
// value gives a vector whose lanes are 0xFF where they are equal and 0 elsewhere.
using ByteLanes = unsigned char __attribute__((vector_size(16)));

inline ByteLanes LoadLanes(const char* at) {
  ByteLanes lanes;
  std::memcpy(&lanes, at, sizeof lanes);
  return lanes;
}

// The `count` (below 16) bytes at `at` followed by blanks: the last bytes of a text, taken
// the same way without reading past its end.
inline ByteLanes LoadLastLanes(const char* at, size_t count) {
  char bytes[16];
  std::memset(bytes, ' ', sizeof bytes);
  std::memcpy(bytes, at, count);
  return LoadLanes(bytes);
}

// The place (0-15) of the first lane set in `hits` (lanes 0 or 0xFF), 16 when none is.
inline unsigned FirstHit(ByteLanes hits) {
  uint64_t half[2];
  std::memcpy(half, &hits, sizeof half);
  const bool little = std::endian::native == std::endian::little;
  for (unsigned i = 0; i < 2; ++i) {
    if (half[i] != 0) {
      return 8 * i + (little ? std::countr_zero(half[i]) : std::countl_zero(half[i])) / 8;
    }
  }
  return 16;
}

#endif  // DORVALEX_BASE_BYTE_SCAN_H_
