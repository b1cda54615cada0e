// A read-only session and what the signing run does in it: log in, sign,
// log out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"

namespace mirandel::pkcs11 {

using Bytes = std::vector<std::uint8_t>;

/// An open read-only session. Holds a reference to the module; ends with
/// C_CloseSession (result ignored, skipped when the entry is null) when its
/// owner lets it go. Move-only; a moved-from Session holds nothing.
class Session {
 public:
  Session(ModuleRef module, ck::CK_SESSION_HANDLE handle) noexcept
      : module_(std::move(module)), handle_(handle) {}
  Session(Session&& other) noexcept = default;
  Session& operator=(Session&& other) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { close(); }

  const ModuleContext& module() const noexcept { return *module_; }
  ck::CK_SESSION_HANDLE handle() const noexcept { return handle_; }

  /// C_CloseSession unless already closed, then drops the module reference.
  /// Reports nothing.
  void close() noexcept;

 private:
  ModuleRef module_;  ///< null once the session is closed or moved from
  ck::CK_SESSION_HANDLE handle_ = 0;
};

/// C_OpenSession(slot, CKF_SERIAL_SESSION, null, null). The session takes a
/// new reference to the module.
Result<Session> open_ro_session(const ModuleRef& module, ck::CK_SLOT_ID slot);

/// What C_Login is given: the PIN's bytes, or, on a token whose reader has a
/// keypad of its own (CKF_PROTECTED_AUTHENTICATION_PATH), no PIN at all.
struct LoginPin {
  std::span<const std::uint8_t> bytes;  ///< an empty PIN: a valid pointer, length 0
  bool on_reader_keypad = false;        ///< a null pointer and length 0; `bytes` unused
};

/// C_Login(CKU_USER) with the PIN bytes as given, no terminator. The bytes are
/// handed to the module from a private copy that is wiped and released as
/// soon as C_Login returns, whatever it returned. A PIN typed on the reader's
/// keypad goes as a null pointer: the call lasts as long as the user takes.
Result<void> login_user(const Session& session, const LoginPin& pin);

/// C_Login(CKU_CONTEXT_SPECIFIC), for a key that asks for the PIN again after
/// C_SignInit; the PIN goes as for login_user.
Result<void> login_context_specific(const Session& session, const LoginPin& pin);

/// C_Logout; the session stays open.
Result<void> logout(const Session& session);

/// A signing mechanism and, for the RSA-PSS ones, its parameter record.
struct Mechanism {
  ck::CK_MECHANISM_TYPE type = 0;
  std::optional<ck::CK_RSA_PKCS_PSS_PARAMS> pss;  ///< none: no parameter at all

  Mechanism() = default;
  /// A mechanism without a parameter.
  Mechanism(ck::CK_MECHANISM_TYPE mechanism) : type(mechanism) {}
  Mechanism(ck::CK_MECHANISM_TYPE mechanism, const ck::CK_RSA_PKCS_PSS_PARAMS& parameters)
      : type(mechanism), pss(parameters) {}
};

/// C_SignInit with the mechanism (its parameter record, if any, lives until
/// the call returns) and the key.
Result<void> sign_init(const Session& session, const Mechanism& mechanism,
                       ck::CK_OBJECT_HANDLE key);

/// C_Sign twice (size query, then fill) with the same data, in the signing
/// operation that sign_init began.
Result<Bytes> sign(const Session& session, std::span<const std::uint8_t> data);

/// The InvalidResponse of C_Sign for an ECDSA signature whose r ‖ s cannot
/// be two halves of equal length.
inline constexpr std::string_view ECDSA_SIGNATURE_MALFORMED =
    "ECDSA signature of odd or zero length";

/// The InvalidResponse of C_Sign for an ECDSA r ‖ s whose r or s is zero,
/// which no ECDSA signature can be.
inline constexpr std::string_view ECDSA_SIGNATURE_ZERO =
    "ECDSA signature with r or s equal to zero";

/// The InvalidResponse of C_Sign for a signature that is not one of the
/// request's data under the public key of the request's certificate.
inline constexpr std::string_view SIGNATURE_DOES_NOT_VERIFY =
    "the signature does not verify against the certificate";

}  // namespace mirandel::pkcs11
