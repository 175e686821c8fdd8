// Finding the first of a few byte values in a line, sixteen or eight bytes at a time: the line
// scans pass over long runs of plain characters (hex data, paths) this way.
#ifndef DORVALEX_SCRIPT_BYTE_SCAN_H_
#define DORVALEX_SCRIPT_BYTE_SCAN_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace byte_scan_internal {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = kOnes * 0x80;

// The high bit of each byte of `word` that is zero. A borrow can mark a byte above a zero
// byte as well, but the lowest mark always stands on the first zero byte.
constexpr uint64_t ZeroBytes(uint64_t word) { return (word - kOnes) & ~word & kHighs; }

}  // namespace byte_scan_internal

// The index of the first byte of text[from, size) that is one of `Stops`; size when none is.
template <unsigned char... Stops>
inline size_t FindFirstOf(const char* text, size_t from, size_t size) {
  using namespace byte_scan_internal;
  size_t i = from;
#if defined(__SSE2__)
  // One bit for each of the 16 bytes at `at` that is a stop.
  auto stops = [text](size_t at) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    __m128i found = _mm_setzero_si128();
    ((found = _mm_or_si128(found, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(Stops))))),
     ...);
    return static_cast<unsigned>(_mm_movemask_epi8(found));
  };
  for (; i + 16 <= size; i += 16) {
    if (const unsigned mask = stops(i); mask != 0) return i + std::countr_zero(mask);
  }
  if (i < size && size >= 16) {
    // The last 16 bytes, less those before i, which were looked at already.
    const unsigned mask = stops(size - 16) >> (i - (size - 16));
    return mask != 0 ? i + std::countr_zero(mask) : size;
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + 8 <= size; i += 8) {
      uint64_t word;
      std::memcpy(&word, text + i, 8);
      const uint64_t found = (ZeroBytes(word ^ (kOnes * Stops)) | ...);
      if (found != 0) return i + static_cast<size_t>(std::countr_zero(found)) / 8;
    }
  }
  for (; i < size; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (((c == Stops) || ...)) return i;
  }
  return size;
}

#endif  // DORVALEX_SCRIPT_BYTE_SCAN_H_
