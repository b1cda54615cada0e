// Decodes arbitrary text as hex and checks the codec's properties: success
// exactly for even-length digit strings, failures that name the first
// offending byte, and round trips in both directions.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "codec/hex.hpp"
#include "fuzz_support.hpp"

namespace {

using mirandel::fuzz::require;

bool is_hex_digit(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mirandel::codec;
  const std::string_view text = mirandel::fuzz::as_text(data, size);

  auto decoded = hex_decode(text);
  if (decoded) {
    require(size % 2 == 0 && decoded->size() == size / 2);
    // Decoding then encoding gives the text back in lower case.
    const std::string encoded = hex_encode(*decoded);
    require(encoded.size() == size);
    for (std::size_t i = 0; i < size; ++i) {
      const unsigned char c = data[i];
      require(is_hex_digit(c));
      const char lower =
          c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
      require(encoded[i] == lower);
    }
  } else if (std::holds_alternative<HexOddLength>(decoded.error())) {
    require(size % 2 == 1);
  } else {
    const HexInvalidByte invalid = std::get<HexInvalidByte>(decoded.error());
    require(size % 2 == 0 && invalid.position < size);
    require(invalid.byte == data[invalid.position] && !is_hex_digit(invalid.byte));
    for (std::size_t i = 0; i < invalid.position; ++i) require(is_hex_digit(data[i]));
  }

  // Decoding in place, over the text's own bytes, gives the same answer.
  std::string in_place(text);
  auto* place = reinterpret_cast<std::uint8_t*>(in_place.data());
  auto same = hex_decode_into(in_place, std::span(place, size / 2));
  require(same.has_value() == decoded.has_value());
  if (decoded) {
    for (std::size_t i = 0; i < decoded->size(); ++i) require(place[i] == (*decoded)[i]);
  } else {
    require(same.error() == decoded.error());
  }

  // Encoding then decoding any bytes gives them back.
  const std::string encoded = hex_encode(std::span(data, size));
  auto again = hex_decode(encoded);
  require(again.has_value() && again->size() == size);
  for (std::size_t i = 0; i < size; ++i) require((*again)[i] == data[i]);
  return 0;
}
