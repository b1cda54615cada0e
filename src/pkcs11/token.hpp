// Token operations: each a fixed sequence of PKCS#11 calls through the
// function table, returning a decoded result or a BindingError.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"

namespace mirandel::pkcs11 {

using Bytes = std::vector<std::uint8_t>;

/// Handles asked for in each C_FindObjects call.
inline constexpr ck::CK_ULONG OBJECT_BATCH = 10;

/// An open read-only session. Holds a reference to the module; ends with
/// C_CloseSession (result ignored, skipped when the entry is null) when its
/// owner lets it go. Move-only; a moved-from Session holds nothing.
class Session {
 public:
  Session(ModuleRef module, ck::CK_SESSION_HANDLE handle) noexcept
      : module_(std::move(module)), handle_(handle) {}
  Session(Session&& other) noexcept;
  Session& operator=(Session&& other) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { close(); }

  const ModuleContext& module() const noexcept { return *module_; }
  ck::CK_SESSION_HANDLE handle() const noexcept { return handle_; }

  /// close_session: C_CloseSession unless already closed, then drop the
  /// module reference. Reports nothing.
  void close() noexcept;

 private:
  ModuleRef module_;
  ck::CK_SESSION_HANDLE handle_ = 0;
  bool closed_ = false;
};

struct Version {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  friend bool operator==(const Version&, const Version&) = default;
};

/// Decoded CK_SLOT_INFO.
struct SlotInfo {
  std::string description;
  std::string manufacturer;
  ck::CK_FLAGS flags = 0;  ///< TOKEN_PRESENT, REMOVABLE_DEVICE, HW_SLOT only
  Version hardware_version;
  Version firmware_version;
};

/// A count the module may report as unavailable or, for session maxima, as
/// effectively infinite.
struct Unavailable {
  friend bool operator==(const Unavailable&, const Unavailable&) = default;
};
struct Unlimited {
  friend bool operator==(const Unlimited&, const Unlimited&) = default;
};
using Count = std::variant<ck::CK_ULONG, Unavailable>;
using MaxCount = std::variant<ck::CK_ULONG, Unavailable, Unlimited>;

struct ClockTime {
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  friend bool operator==(const ClockTime&, const ClockTime&) = default;
};

/// Decoded CK_TOKEN_INFO.
struct TokenInfo {
  std::string label;
  std::string manufacturer;
  std::string model;
  std::string serial_number;
  ck::CK_FLAGS flags = 0;  ///< restricted to CKF_TOKEN_FLAGS_MASK
  MaxCount max_session_count;
  Count session_count;
  MaxCount max_rw_session_count;
  Count rw_session_count;
  ck::CK_ULONG max_pin_len = 0;
  ck::CK_ULONG min_pin_len = 0;
  Count total_public_memory;
  Count free_public_memory;
  Count total_private_memory;
  Count free_private_memory;
  Version hardware_version;
  Version firmware_version;
  std::optional<ClockTime> clock;  ///< only with CKF_CLOCK_ON_TOKEN
};

/// An attribute with its typed value.
struct Attribute {
  ck::CK_ATTRIBUTE_TYPE type;
  std::variant<ck::CK_ULONG, bool, Bytes> value;

  /// The value as bytes, or null when it is not a byte string.
  const Bytes* bytes() const noexcept { return std::get_if<Bytes>(&value); }
  friend bool operator==(const Attribute&, const Attribute&) = default;
};
inline Attribute class_attribute(ck::CK_OBJECT_CLASS c) { return {ck::CKA_CLASS, c}; }
inline Attribute sign_attribute(bool sign) { return {ck::CKA_SIGN, sign}; }
inline Attribute id_attribute(Bytes id) { return {ck::CKA_ID, std::move(id)}; }
inline Attribute value_attribute(Bytes value) { return {ck::CKA_VALUE, std::move(value)}; }

/// Decodes a fixed-width PKCS#11 text field: UTF-8 with each maximal ill-formed
/// subpart replaced by U+FFFD, then trailing U+0020 removed (nothing else).
std::string blank_padded_text(std::span<const std::uint8_t> field);

/// Decodes the first 14 characters of a 16-byte utcTime field as
/// YYYYMMDDhhmmss; each field unsigned decimal with one optional leading '+'.
std::optional<ClockTime> decode_clock_time(std::span<const std::uint8_t, 16> utc_time);

/// C_GetSlotList(CK_TRUE) in the two-call form, repeating the fill (at most
/// 16 times) while the module answers CKR_BUFFER_TOO_SMALL.
Result<std::vector<ck::CK_SLOT_ID>> get_slots_with_token(const ModuleContext& module);

/// C_GetSlotInfo.
Result<SlotInfo> get_slot_info(const ModuleContext& module, ck::CK_SLOT_ID slot);

/// C_GetTokenInfo; fails with InvalidResponse(GetTokenInfo) when the clock
/// flag is set and utcTime does not decode.
Result<TokenInfo> get_token_info(const ModuleContext& module, ck::CK_SLOT_ID slot);

/// C_OpenSession(slot, CKF_SERIAL_SESSION, null, null). The session takes a
/// new reference to the module.
Result<Session> open_ro_session(const ModuleRef& module, ck::CK_SLOT_ID slot);

/// C_FindObjectsInit, C_FindObjects in batches of OBJECT_BATCH, and always
/// C_FindObjectsFinal once the search was started.  A search that yields more
/// handles than 65536 (a search still going after that many) fails with
/// InvalidResponse.
Result<std::vector<ck::CK_OBJECT_HANDLE>> find_objects(const Session& session,
                                                       std::span<const Attribute> search_template);

/// C_GetAttributeValue in two calls (sizes, then values). Only the attributes
/// the module supplied are returned, in request order.
Result<std::vector<Attribute>> get_attributes(const Session& session, ck::CK_OBJECT_HANDLE object,
                                              std::span<const ck::CK_ATTRIBUTE_TYPE> types);

/// C_Login(CKU_USER) with the PIN bytes as given, no terminator. The bytes are
/// handed to the module from a private copy that is wiped and released as
/// soon as C_Login returns, whatever it returned.
Result<void> login_user(const Session& session, std::span<const std::uint8_t> pin);

/// C_Logout.
Result<void> logout(const Session& session);

/// C_SignInit, then C_Sign twice (size query, then fill) with the same data.
Result<Bytes> sign_data(const Session& session, ck::CK_MECHANISM_TYPE mechanism,
                        ck::CK_OBJECT_HANDLE key, std::span<const std::uint8_t> data);

}  // namespace mirandel::pkcs11
