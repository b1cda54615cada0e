// The hexadecimal form of byte strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace mirandel::codec {

/// The digits the encoder writes, by value: lower case only.
inline constexpr std::string_view HEX_DIGITS = "0123456789abcdef";

/// Lower-case hex, two digits per byte, high nibble first.
std::string hex_encode(std::span<const std::uint8_t> bytes);

struct HexOddLength {
  friend bool operator==(const HexOddLength&, const HexOddLength&) = default;
};
struct HexInvalidByte {
  std::uint8_t byte;
  std::size_t position;
  friend bool operator==(const HexInvalidByte&, const HexInvalidByte&) = default;
};
using HexError = std::variant<HexOddLength, HexInvalidByte>;

/// What hex_digit_value gives for a byte that is not a hex digit.
inline constexpr std::uint8_t NOT_A_HEX_DIGIT = 0xFF;

/// The value of a hex digit of either case, or NOT_A_HEX_DIGIT.
std::uint8_t hex_digit_value(std::uint8_t byte);

/// Strict decoder: pairs of digits of either case; odd length judged first.
std::expected<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text);

/// The same decoder writing into `out`, which must hold at least
/// text.size() / 2 bytes; on failure the bytes written so far are left there
/// for the caller to discard. `out` may begin at the text's own first byte
/// (decoding in place): no byte is written before it has been read.
std::expected<void, HexError> hex_decode_into(std::string_view text, std::span<std::uint8_t> out);

}  // namespace mirandel::codec
