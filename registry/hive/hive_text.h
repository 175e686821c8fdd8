// Text as hives keep it: string values are UTF-16LE in the file, UTF-8 in the tool.
#ifndef DORVALEX_REGISTRY_HIVE_HIVE_TEXT_H_
#define DORVALEX_REGISTRY_HIVE_HIVE_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

// Whether values of `type` hold text (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ).
bool IsStringType(uint32_t type);

// UTF-8 to UTF-16LE, NULs included. A byte that starts no valid UTF-8 sequence stands for
// the Latin-1 character of that value (the text of an ANSI script); encoded surrogates pass
// through as themselves, so that text read by Utf16ToUtf8 comes back to the same bytes.
std::string Utf8ToUtf16(std::string_view text);

// UTF-16LE to UTF-8. An unpaired surrogate becomes its own three-byte form (read back by
// Utf8ToUtf16 unchanged); an odd last byte is dropped.
std::string Utf16ToUtf8(std::string_view bytes);

// The number of UTF-16 units `text` takes in a hive (the unit of the name limits).
size_t Utf16Length(std::string_view text);

// Whether `text` is UTF-8 throughout.
bool IsUtf8(std::string_view text);

// Whether every byte of `text` is ASCII.
bool IsAscii(std::string_view text);

#endif  // DORVALEX_REGISTRY_HIVE_HIVE_TEXT_H_
