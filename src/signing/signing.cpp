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
#include <variant>
#include <vector>

#include "codec/hex.hpp"
#include "messages.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"
#include "pkcs11/objects.hpp"
#include "pkcs11/session.hpp"
#include "pkcs11/slots.hpp"
#include "platform/digest.hpp"
#include "platform/signature_check.hpp"
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

/// What C_Login is given on the token in `slot`. Only an empty PIN asks the
/// token whether its reader has a keypad of its own; if so the PIN is typed
/// there and C_Login gets none at all. A token that cannot say goes with the
/// empty PIN as it is.
pkcs11::LoginPin login_pin(const pkcs11::ModuleContext& module, ck::CK_SLOT_ID slot,
                           const SignRequest& request) {
  if (!request.pin.view().empty()) return {pin_bytes(request)};
  pkcs11::Result<ck::CK_FLAGS> flags = pkcs11::get_token_flags(module, slot);
  const bool keypad = flags && (*flags & ck::CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  return {pin_bytes(request), keypad};
}

/// A failure of the signing step and the message prefix it is reported under.
struct SigningFailure {
  std::string_view prefix;
  pkcs11::BindingError error;

  bool is_login() const { return prefix == LOGIN_FAILED_PREFIX; }
};

std::unexpected<SigningFailure> signing_failed(pkcs11::BindingError error) {
  return std::unexpected(SigningFailure{SIGNING_FAILED_PREFIX, std::move(error)});
}

std::unexpected<SigningFailure> invalid_signature(std::string_view reason) {
  return signing_failed(pkcs11::InvalidResponse{pkcs11::Function::Sign, reason});
}

using Signed = std::expected<pkcs11::Bytes, SigningFailure>;

/// The answers of C_Sign with which a token that offers a hashing mechanism
/// shows that it cannot perform it after all.
bool hashing_broken(const pkcs11::BindingError& error) {
  const auto* failed = std::get_if<pkcs11::CallFailed>(&error);
  if (failed == nullptr || failed->function != pkcs11::Function::Sign) return false;
  for (ck::CK_RV rv : {ck::CKR_GENERAL_ERROR, ck::CKR_FUNCTION_FAILED,
                       ck::CKR_FUNCTION_NOT_SUPPORTED, ck::CKR_MECHANISM_INVALID})
    if (failed->value.is(rv)) return true;
  return false;
}

platform::SignatureScheme platform_scheme(SignatureScheme scheme) {
  switch (scheme) {
    case SignatureScheme::RsaPkcs1:
      return platform::SignatureScheme::RsaPkcs1;
    case SignatureScheme::RsaPss:
      return platform::SignatureScheme::RsaPss;
    case SignatureScheme::Ecdsa:
      break;
  }
  return platform::SignatureScheme::Ecdsa;
}

/// What a signature is checked against: the public key of the request's
/// certificate, when its bytes are a certificate the system can read, and
/// the data's digest, computed on the host at most once per run and shared
/// by the raw mechanism and every check.
class SignatureCheck {
 public:
  explicit SignatureCheck(const SignRequest& request)
      : request_(request), key_(platform::CertificateKey::from_certificate(request.certificate)) {}

  /// Whether signatures are checked at all (opaque certificate bytes: no).
  bool knows_key() const { return key_.has_value(); }

  /// The data's digest; nullptr when the system's library cannot compute it.
  const platform::Digest* digest() {
    if (!digest_tried_) {
      digest_tried_ = true;
      digest_ = platform::compute_digest(request_.mechanism.digest, request_.data.bytes());
    }
    return digest_ ? &*digest_ : nullptr;
  }

  /// The token's `signature` (r ‖ s for ECDSA) as the document carries it,
  /// or the invalid response it is: an r ‖ s that no ECDSA signature can be,
  /// or, with a known key, a signature that does not verify.
  Signed check(pkcs11::Bytes signature) {
    const SignMechanism& mechanism = request_.mechanism;
    if (mechanism.scheme == SignatureScheme::Ecdsa) {
      if (std::optional<std::string_view> fault = ecdsa_signature_fault(signature))
        return invalid_signature(*fault);
    }
    if (key_) {
      // A digest that cannot be computed leaves the signature unproven.
      const platform::Digest* data_digest = digest();
      if (data_digest == nullptr ||
          !key_->verifies(platform_scheme(mechanism.scheme), mechanism.digest, data_digest->view(),
                          signature))
        return invalid_signature(pkcs11::SIGNATURE_DOES_NOT_VERIFY);
    }
    if (mechanism.scheme != SignatureScheme::Ecdsa) return signature;
    // The fault check above leaves two halves of equal length.
    return std::move(*ecdsa_der_signature(signature));
  }

 private:
  const SignRequest& request_;
  std::optional<platform::CertificateKey> key_;
  bool digest_tried_ = false;
  std::optional<platform::Digest> digest_;
};

/// The two C_Sign calls over `input` in the operation that C_SignInit with
/// `mechanism` began. A key that asks for the PIN at every signature refuses
/// C_Sign with CKR_USER_NOT_LOGGED_IN, which ends the operation: it is begun
/// again with the same mechanism, the PIN given for it
/// (CKU_CONTEXT_SPECIFIC), and the data signed once more; a module that kept
/// the refused operation answers that C_SignInit with CKR_OPERATION_ACTIVE
/// and is given the login for the operation it kept. Once per C_SignInit.
Signed sign_begun(const pkcs11::Session& session, const pkcs11::Mechanism& mechanism,
                  ck::CK_OBJECT_HANDLE key, std::span<const std::uint8_t> input,
                  const pkcs11::LoginPin& pin) {
  pkcs11::Result<pkcs11::Bytes> signature = pkcs11::sign(session, input);
  if (!signature && pkcs11::failed_with(signature.error(), ck::CKR_USER_NOT_LOGGED_IN)) {
    // Some modules keep the operation after refusing C_Sign, against the
    // standard, and then refuse a new C_SignInit with CKR_OPERATION_ACTIVE.
    // The operation they kept has the same mechanism and key, so the context
    // login goes to it.
    pkcs11::Result<void> again = pkcs11::sign_init(session, mechanism, key);
    if (!again && !pkcs11::failed_with(again.error(), ck::CKR_OPERATION_ACTIVE))
      return signing_failed(again.error());
    pkcs11::Result<void> login = pkcs11::login_context_specific(session, pin);
    if (!login) return std::unexpected(SigningFailure{LOGIN_FAILED_PREFIX, login.error()});
    signature = pkcs11::sign(session, input);
  }
  if (!signature) return signing_failed(signature.error());
  return std::move(*signature);
}

/// Signs the request's data with `key` in a logged-in session and gives the
/// signature in the form the document carries.
///
/// The token hashes the data itself when it offers the mechanism. The
/// program hashes the data and has the token sign the digest with the raw
/// mechanism when the token turns out not to hash after all: C_SignInit
/// answers CKR_MECHANISM_INVALID, C_Sign answers one of the failures of
/// hashing_broken, or, when the certificate's key is known, the signature
/// does not verify. So a run makes at most two signing attempts. When the
/// raw mechanism fails too, the hashing mechanism's failure is reported,
/// except that a signature that comes back and does not verify is always
/// reported as such; a failed context login ends the run at once.
Signed sign_with_key(const pkcs11::Session& session, ck::CK_OBJECT_HANDLE key,
                     const SignRequest& request, const pkcs11::LoginPin& pin) {
  const SignMechanism& mechanism = request.mechanism;
  SignatureCheck check(request);

  // The first attempt: the token hashes. `first` is its failure when the
  // raw mechanism may still succeed.
  std::optional<SigningFailure> first;
  const pkcs11::Mechanism hashing = hashing_mechanism(mechanism);
  bool recovering = false;
  if (pkcs11::Result<void> begun = pkcs11::sign_init(session, hashing, key); !begun) {
    if (!pkcs11::failed_with(begun.error(), ck::CKR_MECHANISM_INVALID))
      return signing_failed(begun.error());
    first = SigningFailure{SIGNING_FAILED_PREFIX, begun.error()};
  } else {
    Signed signature = sign_begun(session, hashing, key, request.data.bytes(), pin);
    if (signature) {
      signature = check.check(std::move(*signature));
      // Without a known key a malformed signature is reported as it is:
      // nothing tells that the raw mechanism would do better.
      if (signature || !check.knows_key()) return signature;
    } else if (signature.error().is_login() || !hashing_broken(signature.error().error)) {
      return signature;
    }
    first = std::move(signature.error());
    recovering = true;
  }

  // The second attempt: the program hashes, the token signs the digest.
  const platform::Digest* digest = check.digest();
  if (digest == nullptr) return std::unexpected(std::move(*first));
  const RawInput input = raw_input(mechanism, *digest);
  const pkcs11::Mechanism raw = raw_mechanism(mechanism);
  if (!pkcs11::sign_init(session, raw, key)) return std::unexpected(std::move(*first));
  Signed signature = sign_begun(session, raw, key, input.view(), pin);
  if (signature) return check.check(std::move(*signature));
  if (recovering && !signature.error().is_login()) return std::unexpected(std::move(*first));
  return signature;
}

/// Logs in on an open session on `slot` and signs with the first private key
/// that may sign (and carries `key_id`, when given). nullopt means "no key
/// here, go on to the next slot"; a document ends the run.
std::optional<SignatureDocument> sign_in_session(const pkcs11::Session& session,
                                                 ck::CK_SLOT_ID slot,
                                                 std::optional<pkcs11::Bytes> key_id,
                                                 const SignRequest& request) {
  const pkcs11::LoginPin pin = login_pin(session.module(), slot, request);
  auto login = pkcs11::login_user(session, pin);
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

  Signed signature = sign_with_key(session, keys->front(), request, pin);
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
    if (auto outcome = sign_in_session(*session, slot, std::move(match.id), request))
      return outcome;
  }
  if (certificate_found) return std::nullopt;

  for (ck::CK_SLOT_ID slot : scanned) {
    auto session = pkcs11::open_ro_session(module, slot);
    if (!session) continue;
    if (auto outcome = sign_in_session(*session, slot, std::nullopt, request)) return outcome;
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
