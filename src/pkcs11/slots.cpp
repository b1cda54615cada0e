// The slot list, and the slot and token information with their fixed-width
// text and clock fields decoded.

#include "pkcs11/slots.hpp"

#include "codec/utf8.hpp"
#include "pkcs11/calls.hpp"

namespace mirandel::pkcs11 {

namespace {

// A slot list longer than 4096 slots is refused: far more than any machine has
// readers or any software store has tokens (SoftHSM2 shows one slot per token,
// a proxy the sum of its modules'), while a listing over that many still ends
// in seconds rather than walking millions of slots.  The fill is repeated at
// most 16 times while the module answers CKR_BUFFER_TOO_SMALL: a token
// arriving between two calls needs one repetition; sixteen allow for a burst
// of insertions.
constexpr OutputLimits SLOT_LIST{
    .function = Function::GetSlotList,
    .max_length = 4096,
    .too_large = "slot count too large",
    // More slots than the buffer holds cannot be in it; the ones that are,
    // are real slots.
    .longer_than_buffer = {},
    .retries = 16,
};

/// An unsigned decimal field of `utc_time`: ASCII digits only, one optional
/// leading '+'.  Bytes outside ASCII are refused here too, which covers the
/// requirement that the field be well-formed UTF-8.
template <typename T>
std::optional<T> decimal_field(std::span<const std::uint8_t> field) {
  std::size_t pos = 0;
  if (pos < field.size() && field[pos] == '+') ++pos;
  if (pos == field.size()) return std::nullopt;
  // At most four digits reach here, so the value fits in 16 bits.
  unsigned value = 0;
  for (; pos < field.size(); ++pos) {
    if (field[pos] < '0' || field[pos] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(field[pos] - '0');
  }
  return static_cast<T>(value);
}

template <std::size_t N>
std::string text_field(const ck::CK_UTF8CHAR (&field)[N]) {
  return blank_padded_text(std::span<const std::uint8_t>(field, N));
}

Version version_of(const ck::CK_VERSION& v) { return Version{v.major, v.minor}; }

Count count_of(ck::CK_ULONG value) {
  if (value == ck::CK_UNAVAILABLE_INFORMATION) return Unavailable{};
  return value;
}

// Only the session maxima may be effectively infinite.
MaxCount max_count_of(ck::CK_ULONG value) {
  if (value == ck::CK_UNAVAILABLE_INFORMATION) return Unavailable{};
  if (value == ck::CK_EFFECTIVELY_INFINITE) return Unlimited{};
  return value;
}

}  // namespace

std::string blank_padded_text(std::span<const std::uint8_t> field) {
  std::string text = codec::decode_utf8_lossy(field);
  // Only the blank padding goes: NULs, tabs and replacement characters stay.
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  text.resize(end);
  return text;
}

std::optional<ClockTime> decode_clock_time(std::span<const std::uint8_t, 16> utc_time) {
  std::optional<std::uint16_t> year = decimal_field<std::uint16_t>(utc_time.subspan(0, 4));
  std::optional<std::uint8_t> month = decimal_field<std::uint8_t>(utc_time.subspan(4, 2));
  std::optional<std::uint8_t> day = decimal_field<std::uint8_t>(utc_time.subspan(6, 2));
  std::optional<std::uint8_t> hour = decimal_field<std::uint8_t>(utc_time.subspan(8, 2));
  std::optional<std::uint8_t> minute = decimal_field<std::uint8_t>(utc_time.subspan(10, 2));
  std::optional<std::uint8_t> second = decimal_field<std::uint8_t>(utc_time.subspan(12, 2));
  // Characters 15 and 16 are not part of the time.
  if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
  return ClockTime{*year, *month, *day, *hour, *minute, *second};
}

Result<std::vector<ck::CK_SLOT_ID>> get_slots_with_token(const ModuleContext& module) {
  return query_and_fill<ck::CK_SLOT_ID>(
      SLOT_LIST, [&module](ck::CK_SLOT_ID* list, ck::CK_ULONG* count) {
        return call<Function::GetSlotList>(module, ck::CK_TRUE, list, count);
      });
}

Result<SlotInfo> get_slot_info(const ModuleContext& module, ck::CK_SLOT_ID slot) {
  ck::CK_SLOT_INFO raw{};
  Result<void> called = call<Function::GetSlotInfo>(module, slot, &raw);
  if (!called) return std::unexpected(called.error());
  SlotInfo info;
  info.description = text_field(raw.slotDescription);
  info.manufacturer = text_field(raw.manufacturerID);
  info.flags = raw.flags & (ck::CKF_TOKEN_PRESENT | ck::CKF_REMOVABLE_DEVICE | ck::CKF_HW_SLOT);
  info.hardware_version = version_of(raw.hardwareVersion);
  info.firmware_version = version_of(raw.firmwareVersion);
  return info;
}

Result<TokenInfo> get_token_info(const ModuleContext& module, ck::CK_SLOT_ID slot) {
  ck::CK_TOKEN_INFO raw{};
  Result<void> called = call<Function::GetTokenInfo>(module, slot, &raw);
  if (!called) return std::unexpected(called.error());
  TokenInfo info;
  info.label = text_field(raw.label);
  info.manufacturer = text_field(raw.manufacturerID);
  info.model = text_field(raw.model);
  info.serial_number = text_field(raw.serialNumber);
  info.flags = raw.flags & ck::CKF_TOKEN_FLAGS_MASK;
  info.max_session_count = max_count_of(raw.ulMaxSessionCount);
  info.session_count = count_of(raw.ulSessionCount);
  info.max_rw_session_count = max_count_of(raw.ulMaxRwSessionCount);
  info.rw_session_count = count_of(raw.ulRwSessionCount);
  info.max_pin_len = raw.ulMaxPinLen;
  info.min_pin_len = raw.ulMinPinLen;
  info.total_public_memory = count_of(raw.ulTotalPublicMemory);
  info.free_public_memory = count_of(raw.ulFreePublicMemory);
  info.total_private_memory = count_of(raw.ulTotalPrivateMemory);
  info.free_private_memory = count_of(raw.ulFreePrivateMemory);
  info.hardware_version = version_of(raw.hardwareVersion);
  info.firmware_version = version_of(raw.firmwareVersion);
  // Without the clock flag the field may hold anything and is not looked at.
  if ((raw.flags & ck::CKF_CLOCK_ON_TOKEN) != 0) {
    info.clock = decode_clock_time(std::span<const std::uint8_t, 16>(raw.utcTime));
    if (!info.clock)
      return std::unexpected(BindingError{
          InvalidResponse{Function::GetTokenInfo, "clock time is not a decimal number"}});
  }
  return info;
}

Result<ck::CK_FLAGS> get_token_flags(const ModuleContext& module, ck::CK_SLOT_ID slot) {
  ck::CK_TOKEN_INFO raw{};
  Result<void> called = call<Function::GetTokenInfo>(module, slot, &raw);
  if (!called) return std::unexpected(called.error());
  return raw.flags & ck::CKF_TOKEN_FLAGS_MASK;
}

}  // namespace mirandel::pkcs11
