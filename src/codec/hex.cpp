// The one hexadecimal codec for byte strings in the JSON documents.
#include "codec/hex.hpp"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mirandel::codec {
namespace {

/// Digit value of every byte, or NOT_A_HEX_DIGIT.
constexpr std::array<std::uint8_t, 256> make_digit_values() {
  std::array<std::uint8_t, 256> values{};
  for (std::uint8_t& v : values) v = NOT_A_HEX_DIGIT;
  for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<std::uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<std::uint8_t>(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<std::uint8_t>(c - 'A' + 10);
  return values;
}

constexpr std::array<std::uint8_t, 256> DIGIT_VALUES = make_digit_values();

/// Both digits of every byte value, high one first.
constexpr std::array<std::array<char, 2>, 256> make_digit_pairs() {
  std::array<std::array<char, 2>, 256> pairs{};
  for (int b = 0; b < 256; ++b) pairs[b] = {HEX_DIGITS[b >> 4], HEX_DIGITS[b & 0x0F]};
  return pairs;
}

constexpr std::array<std::array<char, 2>, 256> DIGIT_PAIRS = make_digit_pairs();

/// Decodes the pairs of `text` from `from` on, one byte at a time, reporting
/// the first byte that is not a digit.
std::expected<void, HexError> decode_pairs(std::string_view text, std::size_t from,
                                           std::uint8_t* out) {
  for (std::size_t i = from; i < text.size(); i += 2) {
    const auto high_byte = static_cast<std::uint8_t>(text[i]);
    const std::uint8_t high = DIGIT_VALUES[high_byte];
    if (high == NOT_A_HEX_DIGIT) return std::unexpected(HexError{HexInvalidByte{high_byte, i}});
    const auto low_byte = static_cast<std::uint8_t>(text[i + 1]);
    const std::uint8_t low = DIGIT_VALUES[low_byte];
    if (low == NOT_A_HEX_DIGIT) return std::unexpected(HexError{HexInvalidByte{low_byte, i + 1}});
    out[i / 2] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return {};
}

#if defined(__SSE2__)
/// The digit values of 16 text bytes; `valid` gets 0xFF where a byte is a
/// digit and 0 where it is not. SSE2 only, the x86-64 baseline.
inline __m128i digit_values(__m128i text, __m128i& valid) {
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i five = _mm_set1_epi8(5);
  const __m128i decimal = _mm_sub_epi8(text, _mm_set1_epi8('0'));
  // Folding to lower case maps 'A'..'F' onto 'a'..'f' and no other byte onto
  // them; x < n as unsigned bytes is min(x, n - 1) == x.
  const __m128i letter = _mm_sub_epi8(_mm_or_si128(text, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i is_decimal = _mm_cmpeq_epi8(_mm_min_epu8(decimal, nine), decimal);
  const __m128i is_letter = _mm_cmpeq_epi8(_mm_min_epu8(letter, five), letter);
  valid = _mm_or_si128(is_decimal, is_letter);
  const __m128i letter_value = _mm_add_epi8(letter, _mm_set1_epi8(10));
  return _mm_or_si128(_mm_and_si128(is_decimal, decimal),
                      _mm_andnot_si128(is_decimal, letter_value));
}

/// Two digits per 16-bit lane, the high one in the low byte: high * 16 + low.
inline __m128i join_pairs(__m128i values) {
  const __m128i high = _mm_and_si128(values, _mm_set1_epi16(0x00FF));
  const __m128i low = _mm_srli_epi16(values, 8);
  return _mm_or_si128(_mm_slli_epi16(high, 4), low);
}
#endif

}  // namespace

std::uint8_t hex_digit_value(std::uint8_t byte) { return DIGIT_VALUES[byte]; }

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  std::string text(bytes.size() * 2, '\0');
  char* out = text.data();
  for (std::uint8_t b : bytes) {
    out[0] = DIGIT_PAIRS[b][0];
    out[1] = DIGIT_PAIRS[b][1];
    out += 2;
  }
  return text;
}

std::expected<void, HexError> hex_decode_into(std::string_view text, std::span<std::uint8_t> out) {
  // Odd length is judged before any character is looked at.
  if (text.size() % 2 != 0) return std::unexpected(HexError{HexOddLength{}});
  std::size_t i = 0;
#if defined(__SSE2__)
  // 32 digits to 16 bytes per round. A block holding any other byte is left
  // to the byte-wise loop, which finds and reports the first bad byte.
  const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
  for (; text.size() - i >= 32; i += 32) {
    __m128i valid_first;
    __m128i valid_second;
    const __m128i first =
        digit_values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)), valid_first);
    const __m128i second =
        digit_values(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 16)), valid_second);
    if (_mm_movemask_epi8(_mm_and_si128(valid_first, valid_second)) != 0xFFFF) break;
    const __m128i bytes = _mm_packus_epi16(join_pairs(first), join_pairs(second));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + i / 2), bytes);
  }
#endif
  return decode_pairs(text, i, out.data());
}

std::expected<std::vector<std::uint8_t>, HexError> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) return std::unexpected(HexError{HexOddLength{}});
  std::vector<std::uint8_t> bytes(text.size() / 2);
  std::expected<void, HexError> decoded = hex_decode_into(text, bytes);
  if (!decoded) return std::unexpected(decoded.error());
  return bytes;
}

}  // namespace mirandel::codec
