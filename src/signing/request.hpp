// The signing request: read whole, parsed, decoded and checked.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "platform/arguments.hpp"
#include "secret.hpp"
#include "signing/mechanisms.hpp"

namespace mirandel {

/// A checked signing request, ready for the signing run.
struct SignRequest {
  SecretString pin;                       ///< the PIN text; its UTF-8 bytes go to C_Login
  std::vector<std::uint8_t> certificate;  ///< DER bytes that select the key; may be empty
  ByteBuffer data;                        ///< the bytes to sign; may be empty
  SignMechanism mechanism{};              ///< the `mechanism` name's entry
};

/// Parses and checks request bytes; on failure the Italian message.
std::expected<SignRequest, std::string> check_sign_request(std::span<const std::uint8_t> bytes);

/// Reads the request from the file or, for "-", standard input, then checks it.
std::expected<SignRequest, std::string> read_sign_request(const platform::Argument& request_path);

}  // namespace mirandel
