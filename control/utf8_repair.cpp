#include "control/utf8_repair.h"

#include <cstddef>

namespace brumo {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// Length of the well-formed sequence that starts at `pos`, or 0 when the bytes there are
// ill-formed; in that case `*bad_length` receives the length of the maximal ill-formed
// subpart to replace (at least 1): the lead byte plus the continuation bytes that were
// still acceptable before the sequence broke off.
std::size_t SequenceLength(std::string_view text, std::size_t pos, std::size_t* bad_length) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return 1;

  std::size_t length = 0;
  // Range of the first continuation byte; the later ones are always 80..BF. These limits
  // exclude overlong forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4).
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *bad_length = 1;  // 80..C1 and F5..FF never begin a sequence
    return 0;
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (pos + i >= text.size()) {
      *bad_length = i;
      return 0;
    }
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (byte < low || byte > high) {
      *bad_length = i;
      return 0;
    }
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // ASCII runs are the common case in replies; skip them without the table logic.
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t bad_length = 0;
    const std::size_t length = SequenceLength(text, pos, &bad_length);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

std::string RepairUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  std::string repaired;
  repaired.reserve(text.size() + 8);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t bad_length = 0;
    const std::size_t length = SequenceLength(text, pos, &bad_length);
    if (length == 0) {
      repaired.append(kReplacementCharacter);
      pos += bad_length;
    } else {
      repaired.append(text.substr(pos, length));
      pos += length;
    }
  }
  return repaired;
}

}  // namespace brumo
