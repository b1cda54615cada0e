// The one hexadecimal codec for byte strings in the JSON documents.
#include "codec/hex.hpp"

#include <array>

namespace mirandel::codec {
namespace {

/// The encoder's digits: lower case only.
constexpr char DIGITS[] = "0123456789abcdef";

/// Digit value of every byte, or 0xFF for a byte that is not a hex digit.
constexpr std::array<std::uint8_t, 256> make_digit_values() {
  std::array<std::uint8_t, 256> values{};
  for (std::uint8_t& v : values) v = 0xFF;
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  return values;
}

constexpr std::array<std::uint8_t, 256> DIGIT_VALUES = make_digit_values();

}  // namespace

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string text(bytes.size() * 2, '\0');
  std::size_t out = 0;
  for (std::uint8_t b : bytes) {
    text[out++] = DIGITS[b >> 4];
    text[out++] = DIGITS[b & 0x0F];
  }
  return text;
}

std::expected<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text) {
  // Odd length is judged before any character is looked at.
  if (text.size() % 2 != 0) return std::unexpected(HexError{HexOddLength{}});
  std::vector<std::uint8_t> bytes(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const auto high_byte = static_cast<std::uint8_t>(text[i]);
    const std::uint8_t high = DIGIT_VALUES[high_byte];
    if (high == 0xFF) return std::unexpected(HexError{HexInvalidByte{high_byte, i}});
    const auto low_byte = static_cast<std::uint8_t>(text[i + 1]);
    const std::uint8_t low = DIGIT_VALUES[low_byte];
    if (low == 0xFF) return std::unexpected(HexError{HexInvalidByte{low_byte, i + 1}});
    bytes[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return bytes;
}

}  // namespace mirandel::codec
