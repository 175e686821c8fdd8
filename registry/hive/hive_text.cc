// UTF-8 <-> UTF-16LE for the string values of hives, lossless for whatever a hive holds.
#include "registry/hive/hive_text.h"

#include "registry/win32_codes.h"

namespace {

// Decodes one UTF-8 sequence at text[*at] (surrogates allowed); false when the bytes there
// start none, *at then unchanged.
bool DecodeUtf8(std::string_view text, size_t* at, uint32_t* point) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  uint8_t lead = byte(*at);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                                  : (lead >> 3) == 30 ? 4 : 0;
  if (length == 0 || *at + length > text.size()) return false;
  uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(*at + i) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(*at + i) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF) return false;
  *point = value;
  *at += length;
  return true;
}

void AppendUnit(std::string* out, uint32_t unit) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

void AppendUtf8(std::string* out, uint32_t point) {
  if (point < 0x80) {
    out->push_back(static_cast<char>(point));
  } else if (point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (point >> 6)));
    out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else if (point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (point & 0x3F)));
  }
}

}  // namespace

bool IsStringType(uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string Utf8ToUtf16(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (size_t at = 0; at < text.size();) {
    uint32_t point = 0;
    if (!DecodeUtf8(text, &at, &point)) point = static_cast<uint8_t>(text[at++]);
    if (point >= 0x10000) {
      point -= 0x10000;
      AppendUnit(&out, 0xD800 | (point >> 10));
      AppendUnit(&out, 0xDC00 | (point & 0x3FF));
    } else {
      AppendUnit(&out, point);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  const auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * i])) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[2 * i + 1])) << 8;
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t point = unit(i);
    if (point >= 0xD800 && point < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) < 0xE000) {
      point = 0x10000 + ((point - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    }
    AppendUtf8(&out, point);
  }
  return out;
}

size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  for (size_t at = 0; at < text.size();) {
    uint32_t point = 0;
    if (!DecodeUtf8(text, &at, &point)) ++at, point = 0;
    units += point >= 0x10000 ? 2 : 1;
  }
  return units;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  }
  return true;
}

bool IsUtf8(std::string_view text) {
  uint32_t point = 0;
  for (size_t at = 0; at < text.size();) {
    if (!DecodeUtf8(text, &at, &point)) return false;
  }
  return true;
}
