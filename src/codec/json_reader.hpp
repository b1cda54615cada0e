// The strict reader of the signing request's JSON.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "secret.hpp"

namespace mirandel::codec {

/// The request as read: four UTF-8 texts. The PIN is wiped when released.
struct SignIn {
  SecretString pin;
  std::string cert_der_hex;
  std::string data_hex;
  std::string mechanism;
};

/// The four texts of a request, not copied: each is a view of the request
/// bytes or, for a string that held escapes, of the scratch buffer it was
/// decoded into. Valid while both live.
struct SignInView {
  std::string_view pin;
  std::string_view cert_der_hex;
  std::string_view data_hex;
  std::string_view mechanism;
};

/// Why reading failed: the offset of the offending byte (no caller shows it).
struct JsonReadError {
  std::size_t offset;
};

/// Reads an object with exactly the four members (extra members skipped) or an
/// array of four strings. Never recurses; no partial result on failure.
std::expected<SignIn, JsonReadError> parse_sign_in(std::span<const std::uint8_t> bytes);

/// The same reading, giving views instead of copies. `scratch` receives the
/// decoded form of strings with escapes (the PIN's among them: it wipes
/// itself); it is emptied first.
std::expected<SignInView, JsonReadError> parse_sign_in_view(std::span<const std::uint8_t> bytes,
                                                            SecretBytes& scratch);

}  // namespace mirandel::codec
