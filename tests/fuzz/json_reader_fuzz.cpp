// Parses arbitrary bytes as a signing request. Beyond never crashing, an
// accepted request must hold four valid UTF-8 texts, and writing them back
// out as JSON, in either form, must read back to the same four texts.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "codec/json_reader.hpp"
#include "codec/utf8.hpp"
#include "fuzz_support.hpp"

namespace {

using mirandel::fuzz::require;

/// A JSON string for `text`: quotes, backslashes and control bytes escaped.
std::string quoted(std::string_view text) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += DIGITS[c >> 4];
      out += DIGITS[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
  return out;
}

void require_same(const std::string& json, const mirandel::codec::SignIn& expected) {
  auto again = mirandel::codec::parse_sign_in(
      std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
  require(again.has_value());
  require(again->pin.view() == expected.pin.view());
  require(again->cert_der_hex == expected.cert_der_hex);
  require(again->data_hex == expected.data_hex);
  require(again->mechanism == expected.mechanism);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mirandel::codec;
  auto result = parse_sign_in(std::span(data, size));
  if (!result) {
    require(result.error().offset <= size);
    return 0;
  }
  const SignIn& in = *result;
  require(is_valid_utf8(in.pin.view()) && is_valid_utf8(in.cert_der_hex) &&
          is_valid_utf8(in.data_hex) && is_valid_utf8(in.mechanism));

  require_same("[" + quoted(in.pin.view()) + "," + quoted(in.cert_der_hex) + "," +
                   quoted(in.data_hex) + "," + quoted(in.mechanism) + "]",
               in);
  require_same("{\"mechanism\":" + quoted(in.mechanism) + ",\"extra\":[{}],\"data_hex\":" +
                   quoted(in.data_hex) + ",\"cert_der_hex\":" + quoted(in.cert_der_hex) +
                   ",\"pin\":" + quoted(in.pin.view()) + "}",
               in);
  return 0;
}
