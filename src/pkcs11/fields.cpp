// Decoding of the fixed-width text and clock fields of CK_SLOT_INFO and
// CK_TOKEN_INFO.

#include "codec/utf8.hpp"
#include "pkcs11/token.hpp"

namespace mirandel::pkcs11 {

namespace {

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

}  // namespace mirandel::pkcs11
