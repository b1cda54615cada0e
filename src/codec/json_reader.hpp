// The strict reader of the signing request's JSON.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>

#include "secret.hpp"

namespace mirandel::codec {

/// The request as read: four UTF-8 texts. The PIN is wiped when released.
struct SignIn {
  SecretString pin;
  std::string cert_der_hex;
  std::string data_hex;
  std::string mechanism;
};

/// Why reading failed: the offset of the offending byte (no caller shows it).
struct JsonReadError {
  std::size_t offset;
};

/// Reads an object with exactly the four members (extra members skipped) or an
/// array of four strings. Never recurses; no partial result on failure.
std::expected<SignIn, JsonReadError> parse_sign_in(std::span<const std::uint8_t> bytes);

}  // namespace mirandel::codec
