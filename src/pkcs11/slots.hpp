// The slot list, and the slot and token information, decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"

namespace mirandel::pkcs11 {

struct Version {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
  friend bool operator==(const Version&, const Version&) = default;
};

/// CK_SLOT_INFO with its text fields decoded and its flags reduced to
/// those the program reads.
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

/// CK_TOKEN_INFO with its text fields decoded and its special counts
/// (unavailable, unlimited) told apart from real ones.
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

/// Decodes a fixed-width PKCS#11 text field: UTF-8 with each maximal ill-formed
/// subpart replaced by U+FFFD, then trailing U+0020 removed (nothing else).
std::string blank_padded_text(std::span<const std::uint8_t> field);

/// Decodes the first 14 characters of a 16-byte utcTime field as
/// YYYYMMDDhhmmss; each field unsigned decimal with one optional leading '+'.
std::optional<ClockTime> decode_clock_time(std::span<const std::uint8_t, 16> utc_time);

/// C_GetSlotList(CK_TRUE) in the two-call form, repeating the fill (at most
/// 16 times) while the module answers CKR_BUFFER_TOO_SMALL.
Result<std::vector<ck::CK_SLOT_ID>> get_slots_with_token(const ModuleContext& module);

/// C_GetSlotInfo into a zeroed record, decoded.
Result<SlotInfo> get_slot_info(const ModuleContext& module, ck::CK_SLOT_ID slot);

/// C_GetTokenInfo; fails with InvalidResponse(GetTokenInfo) when the clock
/// flag is set and utcTime does not decode.
Result<TokenInfo> get_token_info(const ModuleContext& module, ck::CK_SLOT_ID slot);

/// C_GetTokenInfo for the token's flags alone (restricted to
/// CKF_TOKEN_FLAGS_MASK); the other fields are not decoded, so a token whose
/// clock field does not decode still gives its flags.
Result<ck::CK_FLAGS> get_token_flags(const ModuleContext& module, ck::CK_SLOT_ID slot);

}  // namespace mirandel::pkcs11
