// Reading and checking the signing request. Every failure here ends the run
// before the module is loaded, so the three messages are the only outcome a
// caller sees of a bad request.
#include "signing/request.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "codec/hex.hpp"
#include "codec/json_reader.hpp"
#include "platform/console.hpp"
#include "platform/file_io.hpp"

namespace mirandel {
namespace {

constexpr std::string_view UNREADABLE = "Input di firma non leggibile.";
constexpr std::string_view INVALID = "Input di firma non valido.";
constexpr std::string_view UNSUPPORTED_MECHANISM = "Meccanismo non supportato: ";

/// One accepted `mechanism` text and the PKCS#11 mechanism it selects.
struct MechanismName {
  std::string_view name;
  ck::CK_MECHANISM_TYPE type;
};

constexpr std::array<MechanismName, 3> MECHANISMS = {{
    {"rsa_sha256", ck::CKM_SHA256_RSA_PKCS},
    {"rsa_sha384", ck::CKM_SHA384_RSA_PKCS},
    {"rsa_sha512", ck::CKM_SHA512_RSA_PKCS},
}};

/// A request failure carrying one of the fixed messages.
std::unexpected<std::string> failure(std::string_view message) {
  return std::unexpected(std::string(message));
}

/// Decodes `data_hex` into `data`, in one allocation that nothing zero-fills
/// first. False when it is not valid hex.
bool decode_data(std::string_view data_hex, ByteBuffer& data) {
  if (data_hex.size() % 2 != 0) return false;
  std::uint8_t* out = data.resize_for_overwrite(data_hex.size() / 2);
  return codec::hex_decode_into(data_hex, std::span(out, data.size())).has_value();
}

}  // namespace

std::expected<SignRequest, std::string> check_sign_request(std::span<const std::uint8_t> bytes) {
  // The texts stay where they are in `bytes` (or in `scratch` when they held
  // escapes): the hex is decoded from there, never copied first.
  SecretBytes scratch;
  std::expected<codec::SignInView, codec::JsonReadError> in =
      codec::parse_sign_in_view(bytes, scratch);
  if (!in) return failure(UNREADABLE);

  // Both fields are decoded before either result is looked at, and the
  // mechanism only after both: bad hex wins over a bad mechanism name.
  auto certificate = codec::hex_decode(in->cert_der_hex);
  ByteBuffer data;
  const bool data_decoded = decode_data(in->data_hex, data);
  if (!certificate || !data_decoded) return failure(INVALID);

  const auto* mechanism = std::ranges::find(MECHANISMS, in->mechanism, &MechanismName::name);
  // The name goes into the message unchanged; the document writer escapes it.
  if (mechanism == MECHANISMS.end()) {
    return failure(std::string(UNSUPPORTED_MECHANISM) + std::string(in->mechanism));
  }

  SignRequest request;
  request.pin = SecretString(in->pin);
  request.certificate = std::move(*certificate);
  request.data = std::move(data);
  request.mechanism = mechanism->type;
  return request;
}

std::expected<SignRequest, std::string> read_sign_request(const platform::Argument& request_path) {
  // The raw bytes hold the PIN; SecretBytes wipes and frees them when this
  // returns, so the request itself is gone before the module is loaded, and
  // only the decoded data stays.
  SecretBytes content;
  bool read = false;
  if (request_path.utf8 == "-") {
    read = platform::read_stdin(content);
  } else if (!request_path.native.empty()) {
    // A missing fourth argument arrives as the empty path, which names no file.
    read = platform::read_file(request_path.native, content);
  }
  if (!read) return failure(UNREADABLE);
  return check_sign_request(content.bytes());
}

}  // namespace mirandel
