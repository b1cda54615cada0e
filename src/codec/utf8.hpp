// UTF-8 helpers: validation, lossy decoding, and the White_Space set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mirandel::codec {

/// True when `bytes` is well-formed UTF-8 (no surrogates, no overlongs, at most U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// Length of the well-formed UTF-8 sequence that begins `bytes`, or 0 when
/// `bytes` is empty or begins with an ill-formed sequence.
std::size_t utf8_sequence_length(std::span<const std::uint8_t> bytes);

/// Decodes `bytes` as UTF-8, replacing each maximal ill-formed subpart by
/// U+FFFD (the Unicode Standard's substitution practice).
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

/// Appends the UTF-8 encoding of the code point `c` (at most U+10FFFF).
void append_utf8(std::string& out, char32_t c);

/// The Unicode White_Space property.
bool is_white_space(char32_t c);

/// Empty, or made only of White_Space characters. Ill-formed bytes are not white space.
bool is_blank(std::string_view utf8);

/// `utf8` without White_Space characters at both ends.
std::string_view trim_white_space(std::string_view utf8);

}  // namespace mirandel::codec
