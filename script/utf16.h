// UTF-16LE text (files with the FF FE mark, string data of version 5 exports) turned into the
// tool's narrow form, UTF-8.
#ifndef DORVALEX_SCRIPT_UTF16_H_
#define DORVALEX_SCRIPT_UTF16_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct Utf16Decoded {
  size_t consumed = 0;   // input bytes turned into output
  size_t written = 0;    // output bytes
  bool invalid = false;  // stopped at a lone surrogate, or at an odd last byte of final input
};

// Decodes the UTF-16LE units of in[0, size) into `out`, which has room for size / 2 * 3 bytes.
// Without `final`, a last odd byte or a last high surrogate is left unconsumed for the next
// call (its pair may follow). Stops before the first unit that is not valid UTF-16
// (`invalid`); everything before it has been written.
Utf16Decoded DecodeUtf16Le(const uint8_t* in, size_t size, bool final, char* out);

// The whole of `data` as UTF-8 appended to `out`. False when it is not valid UTF-16LE text
// (an odd byte count or a lone surrogate); `out` then holds an unspecified prefix.
[[nodiscard]] bool AppendUtf16LeAsUtf8(const uint8_t* data, size_t size, std::string* out);

#endif  // DORVALEX_SCRIPT_UTF16_H_
