// UTF-8 validation and lossy decoding follow the well-formed byte sequences of
// the Unicode Standard (Table 3-7); lossy decoding replaces each maximal
// subpart of an ill-formed sequence by one U+FFFD.
#include "codec/utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mirandel::codec {
namespace {

/// One step of decoding: a code point and its length, or an ill-formed
/// maximal subpart of `length` bytes (`valid` false).
struct Step {
  char32_t code_point;
  std::size_t length;
  bool valid;
};

/// Decodes the sequence that starts at `pos` (which must be inside `bytes`).
/// An ill-formed sequence is reported with the length of its maximal subpart:
/// the lead byte and every following byte that could still continue it, at
/// least one byte.
Step decode_step(const std::uint8_t* bytes, std::size_t size, std::size_t pos) {
  const std::uint8_t lead = bytes[pos];
  if (lead < 0x80) return {lead, 1, true};

  std::size_t needed = 0;  // continuation bytes after the lead
  std::uint8_t second_low = 0x80;
  std::uint8_t second_high = 0xBF;
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    value = lead & 0x0F;
    // E0 would otherwise admit overlongs, ED the surrogates.
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    value = lead & 0x07;
    // F0 would otherwise admit overlongs, F4 code points above U+10FFFF.
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    // 80..C1 and F5..FF never begin a well-formed sequence.
    return {0, 1, false};
  }

  std::size_t length = 1;
  for (std::size_t i = 0; i < needed; ++i) {
    if (pos + length >= size) return {0, length, false};
    const std::uint8_t next = bytes[pos + length];
    const std::uint8_t low = i == 0 ? second_low : std::uint8_t{0x80};
    const std::uint8_t high = i == 0 ? second_high : std::uint8_t{0xBF};
    if (next < low || next > high) return {0, length, false};
    value = (value << 6) | (next & 0x3F);
    ++length;
  }
  return {value, length, true};
}

/// Length of the leading run of ASCII bytes, eight at a time where possible.
std::size_t ascii_prefix(const std::uint8_t* bytes, std::size_t size) {
  std::size_t pos = 0;
  while (size - pos >= 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + pos, 8);
    if ((word & 0x8080808080808080ull) != 0) break;
    pos += 8;
  }
  while (pos < size && bytes[pos] < 0x80) ++pos;
  return pos;
}

const std::uint8_t* as_bytes(std::string_view text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::size_t utf8_sequence_length(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  const Step step = decode_step(bytes.data(), bytes.size(), 0);
  return step.valid ? step.length : 0;
}

bool is_valid_utf8(std::string_view text) {
  const std::uint8_t* bytes = as_bytes(text);
  const std::size_t size = text.size();
  std::size_t pos = 0;
  while (pos < size) {
    pos += ascii_prefix(bytes + pos, size - pos);
    if (pos == size) break;
    const Step step = decode_step(bytes, size, pos);
    if (!step.valid) return false;
    pos += step.length;
  }
  return true;
}

std::string decode_utf8_lossy(std::span<const std::uint8_t> input) {
  const std::uint8_t* bytes = input.data();
  const std::size_t size = input.size();
  std::string out;
  out.reserve(size);
  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t run = ascii_prefix(bytes + pos, size - pos);
    out.append(reinterpret_cast<const char*>(bytes + pos), run);
    pos += run;
    if (pos == size) break;
    const Step step = decode_step(bytes, size, pos);
    if (step.valid) {
      // Well-formed: copied as it stands.
      out.append(reinterpret_cast<const char*>(bytes + pos), step.length);
    } else {
      append_utf8(out, U'\uFFFD');
    }
    pos += step.length;
  }
  return out;
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_blank(std::string_view text) {
  const std::uint8_t* bytes = as_bytes(text);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Step step = decode_step(bytes, text.size(), pos);
    // An ill-formed sequence is not a White_Space character.
    if (!step.valid || !is_white_space(step.code_point)) return false;
    pos += step.length;
  }
  return true;
}

std::string_view trim_white_space(std::string_view text) {
  // One forward pass: UTF-8 cannot be decoded backwards reliably once
  // ill-formed bytes are allowed, and those must stay as non-white space.
  const std::uint8_t* bytes = as_bytes(text);
  std::size_t first = text.size();
  std::size_t end = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const Step step = decode_step(bytes, text.size(), pos);
    if (!step.valid || !is_white_space(step.code_point)) {
      if (first == text.size()) first = pos;
      end = pos + step.length;
    }
    pos += step.length;
  }
  if (first == text.size()) return text.substr(0, 0);
  return text.substr(first, end - first);
}

}  // namespace mirandel::codec
