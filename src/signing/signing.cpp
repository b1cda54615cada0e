// The signing run: request first, then the module, then one slot after the
// other until a slot yields a key (or a login or signing failure ends the run).
#include "signing/signing.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/hex.hpp"
#include "messages.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"
#include "pkcs11/objects.hpp"
#include "pkcs11/session.hpp"
#include "signing/request.hpp"
#include "startup.hpp"

namespace mirandel {
namespace {

/// A document with no signature and `message` as its error.
SignatureDocument failed(std::string message) { return {std::nullopt, std::move(message)}; }

/// A failure message made of a fixed prefix and the binding's English text.
SignatureDocument failed(std::string_view prefix, const pkcs11::BindingError& error) {
  return failed(std::string(prefix) + pkcs11::error_text(error));
}

/// What the certificate scan of one token found.
struct CertificateMatch {
  bool found = false;               ///< a certificate object holds the request's bytes
  std::optional<pkcs11::Bytes> id;  ///< the first match's CKA_ID, when it has one
};

/// Looks for the first certificate on the token whose CKA_VALUE equals
/// `certificate`, and its CKA_ID.
CertificateMatch find_certificate(const pkcs11::Session& session,
                                  std::span<const std::uint8_t> certificate) {
  const pkcs11::Attribute search[] = {pkcs11::class_attribute(ck::CKO_CERTIFICATE)};
  // A failed search counts as a token without the certificate.
  auto handles = pkcs11::find_objects(session, search);
  if (!handles) return {};

  static constexpr ck::CK_ATTRIBUTE_TYPE WANTED[] = {ck::CKA_VALUE, ck::CKA_ID};
  for (ck::CK_OBJECT_HANDLE handle : *handles) {
    auto attributes = pkcs11::get_attributes(session, handle, WANTED);
    if (!attributes) continue;
    const pkcs11::Bytes* value = nullptr;
    const pkcs11::Bytes* id = nullptr;
    for (const pkcs11::Attribute& attribute : *attributes) {
      if (attribute.type == ck::CKA_VALUE) value = attribute.bytes();
      if (attribute.type == ck::CKA_ID) id = attribute.bytes();
    }
    if (value == nullptr || !std::ranges::equal(*value, certificate)) continue;
    // The first match decides, with or without an id (an empty id included).
    if (id == nullptr) return {true, std::nullopt};
    return {true, *id};
  }
  return {};
}

/// Logs in on an open session and signs with the first private key that may
/// sign (and carries `key_id`, when given). nullopt means "no key here, go
/// on to the next slot"; a document ends the run.
std::optional<SignatureDocument> sign_in_session(const pkcs11::Session& session,
                                                 std::optional<pkcs11::Bytes> key_id,
                                                 const SignRequest& request) {
  std::string_view pin = request.pin.view();
  auto login = pkcs11::login_user(
      session, std::span(reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()));
  // Not logged in, so no C_Logout: the session simply closes.
  if (!login) return failed(LOGIN_FAILED_PREFIX, login.error());

  std::vector<pkcs11::Attribute> key_search = {pkcs11::class_attribute(ck::CKO_PRIVATE_KEY),
                                               pkcs11::sign_attribute(true)};
  if (key_id) key_search.push_back(pkcs11::id_attribute(std::move(*key_id)));
  auto keys = pkcs11::find_objects(session, key_search);
  if (!keys || keys->empty()) {
    static_cast<void>(pkcs11::logout(session));
    return std::nullopt;
  }

  auto signature = pkcs11::sign_data(session, request.mechanism, keys->front(), request.data);
  static_cast<void>(pkcs11::logout(session));
  if (!signature) return failed(SIGNING_FAILED_PREFIX, signature.error());
  return SignatureDocument{codec::hex_encode(*signature), std::nullopt};
}

/// Walks the slots, one session at a time, and gives the document that ends
/// the run, or nullopt when no slot yields a key.
///
/// The PIN goes only where it belongs. Each token is first searched for the
/// request's certificate without logging in; a token that holds it is logged
/// in to at once, and a token without it never sees the PIN. Only when no
/// token holds the certificate are the tokens whose session opened logged in
/// to one after the other, each offering its first key that may sign. Their
/// certificates are not read again: the scan already found none that matches.
std::optional<SignatureDocument> sign_on_slots(const pkcs11::ModuleRef& module,
                                               std::span<const ck::CK_SLOT_ID> slots,
                                               const SignRequest& request) {
  bool certificate_found = false;
  std::vector<ck::CK_SLOT_ID> scanned;
  for (ck::CK_SLOT_ID slot : slots) {
    auto session = pkcs11::open_ro_session(module, slot);
    if (!session) continue;
    scanned.push_back(slot);
    CertificateMatch match = find_certificate(*session, request.certificate);
    if (!match.found) continue;
    certificate_found = true;
    if (auto outcome = sign_in_session(*session, std::move(match.id), request)) return outcome;
  }
  if (certificate_found) return std::nullopt;

  for (ck::CK_SLOT_ID slot : scanned) {
    auto session = pkcs11::open_ro_session(module, slot);
    if (!session) continue;
    if (auto outcome = sign_in_session(*session, std::nullopt, request)) return outcome;
  }
  return std::nullopt;
}

}  // namespace

SignatureDocument run_signing(const Invocation& invocation) {
  // The request is settled before the module is touched.
  auto request = read_sign_request(invocation.request_path);
  if (!request) return failed(std::move(request.error()));

  auto started = start_module(invocation.module_path);
  if (!started) return failed(std::move(started.error()));

  std::optional<SignatureDocument> outcome =
      sign_on_slots(started->module, started->slots_with_token, *request);
  // No login follows: the PIN is wiped now rather than with the request.
  request->pin = SecretString();
  // Every session is closed by now; dropping the run's reference unloads the
  // module before the document is written.
  started->module.reset();
  if (!outcome) return failed(std::string(NO_SIGNING_KEY));
  return std::move(*outcome);
}

}  // namespace mirandel
