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
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"
#include "pkcs11/token.hpp"
#include "signing/request.hpp"
#include "startup.hpp"

namespace mirandel {
namespace {

constexpr std::string_view LOGIN_FAILED = "Login fallito (PIN errato?): ";
constexpr std::string_view SIGNING_FAILED = "Firma fallita: ";
constexpr std::string_view NO_KEY = "Chiave privata di firma non trovata sul dispositivo.";

/// A document with no signature and `message` as its error.
SignatureDocument failed(std::string message) { return {std::nullopt, std::move(message)}; }

/// A failure message made of a fixed prefix and the binding's English text.
SignatureDocument failed(std::string_view prefix, const pkcs11::BindingError& error) {
  return failed(std::string(prefix) + pkcs11::error_text(error));
}

/// The CKA_ID of the first certificate on the token whose CKA_VALUE equals
/// `certificate`; nullopt when none matches or the match carries no CKA_ID.
std::optional<pkcs11::Bytes> matching_certificate_id(const pkcs11::Session& session,
                                                     std::span<const std::uint8_t> certificate) {
  const pkcs11::Attribute search[] = {pkcs11::class_attribute(ck::CKO_CERTIFICATE)};
  // A failed search counts as a token without the certificate: the key is
  // then chosen by class and CKA_SIGN alone.
  auto handles = pkcs11::find_objects(session, search);
  if (!handles) return std::nullopt;

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
    if (id == nullptr) return std::nullopt;
    return *id;
  }
  return std::nullopt;
}

/// Tries one slot. nullopt means "no key here, go on to the next slot";
/// a document ends the run. The session is closed when this returns.
std::optional<SignatureDocument> sign_on_slot(const pkcs11::ModuleRef& module, ck::CK_SLOT_ID slot,
                                              const SignRequest& request) {
  auto session = pkcs11::open_ro_session(module, slot);
  if (!session) return std::nullopt;

  std::optional<pkcs11::Bytes> key_id = matching_certificate_id(*session, request.certificate);

  std::string_view pin = request.pin.view();
  auto login = pkcs11::login_user(
      *session, std::span(reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()));
  // Not logged in, so no C_Logout: the session simply closes.
  if (!login) return failed(LOGIN_FAILED, login.error());

  std::vector<pkcs11::Attribute> key_search = {pkcs11::class_attribute(ck::CKO_PRIVATE_KEY),
                                               pkcs11::sign_attribute(true)};
  if (key_id) key_search.push_back(pkcs11::id_attribute(std::move(*key_id)));
  auto keys = pkcs11::find_objects(*session, key_search);
  if (!keys || keys->empty()) {
    static_cast<void>(pkcs11::logout(*session));
    return std::nullopt;
  }

  auto signature = pkcs11::sign_data(*session, request.mechanism, keys->front(), request.data);
  static_cast<void>(pkcs11::logout(*session));
  if (!signature) return failed(SIGNING_FAILED, signature.error());
  return SignatureDocument{codec::hex_encode(*signature), std::nullopt};
}

}  // namespace

SignatureDocument run_signing(const Invocation& invocation) {
  // The request is settled before the module is touched.
  auto request = read_sign_request(invocation.request_path);
  if (!request) return failed(std::move(request.error()));

  auto started = start_module(invocation.module_path);
  if (!started) return failed(std::move(started.error()));

  std::optional<SignatureDocument> outcome;
  for (ck::CK_SLOT_ID slot : started->slots_with_token) {
    outcome = sign_on_slot(started->module, slot, *request);
    if (outcome) break;
  }
  // Every session is closed by now; dropping the run's reference unloads the
  // module before the document is written.
  started->module.reset();
  if (!outcome) return failed(std::string(NO_KEY));
  return std::move(*outcome);
}

}  // namespace mirandel
