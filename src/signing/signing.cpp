// The signing run: request first, then the module, then one slot after the
// other until a slot yields a key (or a login or signing failure ends the run).
#include "signing/signing.hpp"

#include <algorithm>
#include <cstdint>
#include <expected>
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
#include "signing/ecdsa_signature.hpp"
#include "signing/mechanisms.hpp"
#include "signing/request.hpp"
#include "startup.hpp"
#include "teardown.hpp"

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

/// The PIN's UTF-8 bytes, for C_Login (which copies them).
std::span<const std::uint8_t> pin_bytes(const SignRequest& request) {
  std::string_view pin = request.pin.view();
  return {reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size()};
}

/// A failure of the signing step and the message prefix it is reported under.
struct SigningFailure {
  std::string_view prefix;
  pkcs11::BindingError error;
};

std::unexpected<SigningFailure> signing_failed(pkcs11::BindingError error) {
  return std::unexpected(SigningFailure{SIGNING_FAILED_PREFIX, std::move(error)});
}

/// Signs the request's data with `key` in a logged-in session and gives the
/// signature in the form the document carries.
///
/// The token hashes the data itself when it offers the mechanism; only when
/// C_SignInit answers CKR_MECHANISM_INVALID does the program hash the data
/// and have the token sign the digest with the raw mechanism. A token that
/// can do neither is reported with its first answer. A key that asks for the
/// PIN at every signature refuses C_Sign with CKR_USER_NOT_LOGGED_IN, which
/// ends the operation: it is begun again with the mechanism that was
/// accepted, the PIN given for it (CKU_CONTEXT_SPECIFIC), and the data
/// signed once more; a module that kept the refused operation answers that
/// C_SignInit with CKR_OPERATION_ACTIVE and is given the login for the
/// operation it kept. That happens at most once; any other key sees only
/// C_SignInit and the two C_Sign calls.
std::expected<pkcs11::Bytes, SigningFailure> sign_with_key(const pkcs11::Session& session,
                                                           ck::CK_OBJECT_HANDLE key,
                                                           const SignRequest& request) {
  const SignMechanism& mechanism = request.mechanism;
  pkcs11::Mechanism accepted = hashing_mechanism(mechanism);
  std::span<const std::uint8_t> input = request.data.bytes();
  std::optional<RawInput> digest;
  if (pkcs11::Result<void> first = pkcs11::sign_init(session, accepted, key); !first) {
    if (!pkcs11::failed_with(first.error(), ck::CKR_MECHANISM_INVALID))
      return signing_failed(first.error());
    digest = raw_input(mechanism, input);
    if (!digest) return signing_failed(first.error());
    accepted = raw_mechanism(mechanism);
    if (!pkcs11::sign_init(session, accepted, key)) return signing_failed(first.error());
    input = digest->view();
  }

  pkcs11::Result<pkcs11::Bytes> signature = pkcs11::sign(session, input);
  if (!signature && pkcs11::failed_with(signature.error(), ck::CKR_USER_NOT_LOGGED_IN)) {
    // Some modules keep the operation after refusing C_Sign, against the
    // standard, and then refuse a new C_SignInit with CKR_OPERATION_ACTIVE.
    // The operation they kept has the same mechanism and key, so the context
    // login goes to it.
    pkcs11::Result<void> again = pkcs11::sign_init(session, accepted, key);
    if (!again && !pkcs11::failed_with(again.error(), ck::CKR_OPERATION_ACTIVE))
      return signing_failed(again.error());
    pkcs11::Result<void> login = pkcs11::login_context_specific(session, pin_bytes(request));
    if (!login) return std::unexpected(SigningFailure{LOGIN_FAILED_PREFIX, login.error()});
    signature = pkcs11::sign(session, input);
  }
  if (!signature) return signing_failed(signature.error());
  if (mechanism.scheme != SignatureScheme::Ecdsa) return std::move(*signature);

  std::optional<pkcs11::Bytes> der = ecdsa_der_signature(*signature);
  if (!der) {
    return signing_failed(
        pkcs11::InvalidResponse{pkcs11::Function::Sign, pkcs11::ECDSA_SIGNATURE_MALFORMED});
  }
  return std::move(*der);
}

/// Logs in on an open session and signs with the first private key that may
/// sign (and carries `key_id`, when given). nullopt means "no key here, go
/// on to the next slot"; a document ends the run.
std::optional<SignatureDocument> sign_in_session(const pkcs11::Session& session,
                                                 std::optional<pkcs11::Bytes> key_id,
                                                 const SignRequest& request) {
  auto login = pkcs11::login_user(session, pin_bytes(request));
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

  std::expected<pkcs11::Bytes, SigningFailure> signature =
      sign_with_key(session, keys->front(), request);
  static_cast<void>(pkcs11::logout(session));
  if (!signature) return failed(signature.error().prefix, signature.error().error);
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
  // Every session is closed by now; the module is finalised and unloaded
  // after the document is delivered.
  defer_teardown(std::move(started->module));
  if (!outcome) return failed(std::string(NO_SIGNING_KEY));
  return std::move(*outcome);
}

}  // namespace mirandel
