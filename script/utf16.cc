// UTF-16LE to UTF-8, one unit (or surrogate pair) at a time with a fast path for ASCII.
#include "script/utf16.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The bits that must be clear in four UTF-16LE units loaded as one word for all to be ASCII.
constexpr uint64_t kNotAscii =
    std::endian::native == std::endian::little ? 0xFF80FF80FF80FF80u : 0x80FF80FF80FF80FFu;

}  // namespace

Utf16Decoded DecodeUtf16Le(const uint8_t* in, size_t size, bool final, char* out) {
  Utf16Decoded result;
  size_t i = 0;
  char* o = out;
  while (i + 1 < size) {
    // Runs of ASCII units, which most of an export is, eight or four at a time.
#if defined(__SSE2__)
    const __m128i highBits = _mm_set1_epi16(static_cast<short>(0xFF80));
    while (i + 16 <= size) {
      __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      __m128i ascii = _mm_cmpeq_epi16(_mm_and_si128(units, highBits), _mm_setzero_si128());
      if (_mm_movemask_epi8(ascii) != 0xFFFF) break;
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(units, units));
      o += 8;
      i += 16;
    }
#endif
    uint64_t four;
    while (i + 8 <= size && (std::memcpy(&four, in + i, 8), (four & kNotAscii) == 0)) {
      o[0] = static_cast<char>(in[i]);
      o[1] = static_cast<char>(in[i + 2]);
      o[2] = static_cast<char>(in[i + 4]);
      o[3] = static_cast<char>(in[i + 6]);
      o += 4;
      i += 8;
    }
    if (i + 1 >= size) break;
    uint32_t unit = in[i] | static_cast<uint32_t>(in[i + 1]) << 8;
    if (unit < 0x80) {
      *o++ = static_cast<char>(unit);
      i += 2;
      continue;
    }
    if (unit < 0x800) {
      *o++ = static_cast<char>(0xC0 | unit >> 6);
      *o++ = static_cast<char>(0x80 | (unit & 0x3F));
      i += 2;
      continue;
    }
    if (unit >= 0xD800 && unit < 0xE000) {
      if (unit >= 0xDC00) {
        result.invalid = true;
        break;
      }
      if (i + 3 >= size) {
        if (final) result.invalid = true;
        break;
      }
      uint32_t low = in[i + 2] | static_cast<uint32_t>(in[i + 3]) << 8;
      if (low < 0xDC00 || low >= 0xE000) {
        result.invalid = true;
        break;
      }
      uint32_t code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      *o++ = static_cast<char>(0xF0 | code >> 18);
      *o++ = static_cast<char>(0x80 | (code >> 12 & 0x3F));
      *o++ = static_cast<char>(0x80 | (code >> 6 & 0x3F));
      *o++ = static_cast<char>(0x80 | (code & 0x3F));
      i += 4;
      continue;
    }
    *o++ = static_cast<char>(0xE0 | unit >> 12);
    *o++ = static_cast<char>(0x80 | (unit >> 6 & 0x3F));
    *o++ = static_cast<char>(0x80 | (unit & 0x3F));
    i += 2;
  }
  if (final && !result.invalid && i < size) result.invalid = true;  // an odd last byte
  result.consumed = i;
  result.written = static_cast<size_t>(o - out);
  return result;
}

bool AppendUtf16LeAsUtf8(const uint8_t* data, size_t size, std::string* out) {
  const size_t start = out->size();
  out->resize(start + size / 2 * 3);
  Utf16Decoded decoded = DecodeUtf16Le(data, size, true, out->data() + start);
  out->resize(start + decoded.written);
  return !decoded.invalid;
}
