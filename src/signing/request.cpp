// Reading and checking the signing request. Every failure here ends the run
// before the module is loaded, so the three messages are the only outcome a
// caller sees of a bad request.
#include "signing/request.hpp"

#include <string_view>
#include <utility>

#include "codec/hex.hpp"
#include "codec/json_reader.hpp"
#include "messages.hpp"
#include "platform/console.hpp"
#include "platform/file_io.hpp"

namespace mirandel {
namespace {

std::unexpected<std::string> failure(std::string_view message) {
  return std::unexpected(std::string(message));
}

/// Checks the request in `content` and builds the SignRequest. The texts are
/// views of the request (or of `scratch`, for strings with escapes), never
/// copied. The data is decoded in place, over the first half of its own hex;
/// then the request gives up everything else: those bytes are wiped and
/// their pages given back, so a large request never needs a second buffer of
/// its data's size.
std::expected<SignRequest, std::string> check_request(SecretBytes content) {
  SecretBytes scratch;
  std::expected<codec::SignInView, codec::JsonReadError> in =
      codec::parse_sign_in_view(content.bytes(), scratch);
  if (!in) return failure(REQUEST_UNREADABLE);

  // Both fields are decoded before either result is looked at, and the
  // mechanism only after both: bad hex wins over a bad mechanism name.
  auto certificate = codec::hex_decode(in->cert_der_hex);
  const std::string_view data_hex = in->data_hex;
  const std::size_t data_size = data_hex.size() / 2;
  const auto* request_bytes = reinterpret_cast<const char*>(content.data());
  // A data_hex written with escapes lives in the scratch buffer instead; it
  // is decoded into a buffer of its own.
  const bool in_request = !data_hex.empty() && data_hex.data() >= request_bytes &&
                          data_hex.data() < request_bytes + content.size();
  const std::size_t data_offset =
      in_request ? static_cast<std::size_t>(data_hex.data() - request_bytes) : 0;
  ByteBuffer escaped_data;
  bool data_decoded = false;
  if (data_hex.size() % 2 == 0) {
    std::uint8_t* target =
        in_request ? content.data() + data_offset : escaped_data.resize_for_overwrite(data_size);
    data_decoded = codec::hex_decode_into(data_hex, std::span(target, data_size)).has_value();
  }
  if (!certificate || !data_decoded) return failure(REQUEST_INVALID);

  const SignMechanism* mechanism = find_sign_mechanism(in->mechanism);
  // The name goes into the message unchanged; the document writer escapes it.
  if (mechanism == nullptr) {
    return failure(std::string(UNSUPPORTED_MECHANISM_PREFIX) + std::string(in->mechanism));
  }

  SignRequest request;
  request.pin = SecretString(in->pin);
  request.certificate = std::move(*certificate);
  request.mechanism = *mechanism;
  // The views of the request end here.
  request.data =
      in_request ? std::move(content).take_range(data_offset, data_size) : std::move(escaped_data);
  return request;
}

}  // namespace

std::expected<SignRequest, std::string> check_sign_request(std::span<const std::uint8_t> bytes) {
  SecretBytes content;
  content.append(bytes);
  return check_request(std::move(content));
}

std::expected<SignRequest, std::string> read_sign_request(const platform::Argument& request_path) {
  // The raw bytes hold the PIN; SecretBytes wipes them before it lets them
  // go, so the request itself is gone before the module is loaded, and only
  // the decoded data stays.
  SecretBytes content;
  bool read = false;
  if (request_path.utf8 == "-") {
    read = platform::read_stdin(content);
  } else if (!request_path.native.empty()) {
    // A missing fourth argument arrives as the empty path, which names no file.
    read = platform::read_file(request_path.native, content);
  }
  if (!read) return failure(REQUEST_UNREADABLE);
  return check_request(std::move(content));
}

}  // namespace mirandel
