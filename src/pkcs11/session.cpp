// Opening and closing a session, logging in and out, and signing.

#include "pkcs11/session.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "pkcs11/calls.hpp"
#include "secret.hpp"

namespace mirandel::pkcs11 {

namespace {

constexpr OutputLimits SIGNATURE{
    .function = Function::Sign,
    .max_length = MAX_MODULE_BUFFER_BYTES,
    .too_large = "signature too large",
    // A prefix would be a corrupt signature reported as a good one.
    .longer_than_buffer = "signature longer than its buffer",
};

}  // namespace

Session& Session::operator=(Session&& other) noexcept {
  if (this != &other) {
    close();
    module_ = std::move(other.module_);
    handle_ = other.handle_;
  }
  return *this;
}

void Session::close() noexcept {
  if (module_) call_release<Function::CloseSession>(*module_, handle_);
  // The reference goes whether or not C_CloseSession succeeded; the module is
  // unloaded here if this was the last one.
  module_.reset();
}

Result<Session> open_ro_session(const ModuleRef& module, ck::CK_SLOT_ID slot) {
  ck::CK_SESSION_HANDLE handle = 0;
  // Read-only: CKF_SERIAL_SESSION alone; no application data, no callback.
  Result<void> opened = call<Function::OpenSession>(*module, slot, ck::CKF_SERIAL_SESSION,
                                                    static_cast<ck::CK_VOID_PTR>(nullptr),
                                                    static_cast<ck::CK_NOTIFY>(nullptr), &handle);
  if (!opened) return std::unexpected(opened.error());
  return Session(module, handle);
}

namespace {

/// C_Login as `user`. The module gets a private copy of the PIN, in a buffer
/// of its own (never null, even for an empty PIN), wiped and released as soon
/// as C_Login returns, whatever it returned; a PIN typed on the reader's
/// keypad goes as a null pointer and length 0.
Result<void> login(const Session& session, ck::CK_USER_TYPE user, const LoginPin& pin) {
  Result<ck::CK_C_Login> entry = typed_entry_point<Function::Login>(session.module());
  if (!entry) return std::unexpected(entry.error());
  if (pin.on_reader_keypad)
    return check_call((*entry)(session.handle(), user, nullptr, 0), Function::Login);
  std::expected<ck::CK_ULONG, BindingError> length = to_ck_ulong(pin.bytes.size());
  if (!length) return std::unexpected(length.error());
  const std::size_t size = std::max<std::size_t>(pin.bytes.size(), 1);
  std::unique_ptr<ck::CK_UTF8CHAR[]> copy(new ck::CK_UTF8CHAR[size]());
  if (!pin.bytes.empty()) std::memcpy(copy.get(), pin.bytes.data(), pin.bytes.size());
  const ck::CK_RV rv = (*entry)(session.handle(), user, copy.get(), *length);
  secure_wipe(copy.get(), size);
  copy.reset();
  return check_call(rv, Function::Login);
}

}  // namespace

Result<void> login_user(const Session& session, const LoginPin& pin) {
  return login(session, ck::CKU_USER, pin);
}

Result<void> login_context_specific(const Session& session, const LoginPin& pin) {
  return login(session, ck::CKU_CONTEXT_SPECIFIC, pin);
}

Result<void> logout(const Session& session) {
  return call<Function::Logout>(session.module(), session.handle());
}

Result<void> sign_init(const Session& session, const Mechanism& mechanism,
                       ck::CK_OBJECT_HANDLE key) {
  // The parameter record is a copy of our own: the module may read it until
  // C_SignInit returns, and never writes it.
  std::optional<ck::CK_RSA_PKCS_PSS_PARAMS> parameters = mechanism.pss;
  ck::CK_MECHANISM record{mechanism.type, nullptr, 0};
  if (parameters) {
    record.pParameter = &*parameters;
    record.ulParameterLen = sizeof(ck::CK_RSA_PKCS_PSS_PARAMS);
  }
  return call<Function::SignInit>(session.module(), session.handle(), &record, key);
}

Result<Bytes> sign(const Session& session, std::span<const std::uint8_t> data) {
  // Once C_SignInit has succeeded the operation stays active in the session
  // if we stop here; it ends with the session.
  Result<ck::CK_C_Sign> entry = typed_entry_point<Function::Sign>(session.module());
  if (!entry) return std::unexpected(entry.error());
  std::expected<ck::CK_ULONG, BindingError> data_length = to_ck_ulong(data.size());
  if (!data_length) return std::unexpected(data_length.error());
  // The module only reads the data, hence the const_cast; empty data still
  // goes with a valid pointer.
  static ck::CK_BYTE no_data = 0;
  ck::CK_BYTE* data_pointer = data.empty() ? &no_data : const_cast<ck::CK_BYTE*>(data.data());
  return query_and_fill<ck::CK_BYTE>(SIGNATURE, [&](ck::CK_BYTE* signature, ck::CK_ULONG* length) {
    return check_call((*entry)(session.handle(), data_pointer, *data_length, signature, length),
                      Function::Sign);
  });
}

}  // namespace mirandel::pkcs11
