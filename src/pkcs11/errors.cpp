// Classification of PKCS#11 return values and the English texts of binding
// failures.

#include "pkcs11/errors.hpp"

#include <algorithm>

#include "codec/hex.hpp"

namespace mirandel::pkcs11 {

namespace {

/// The table entry of `rv`, or null when `rv` is not a standard value.
// Bisection: the generated table is ascending (checked by the table test).
const StandardReturnValueEntry* find_standard(ck::CK_RV rv) {
  std::span<const StandardReturnValueEntry> table = standard_return_values();
  const StandardReturnValueEntry* found =
      std::lower_bound(table.data(), table.data() + table.size(), rv,
                       [](const StandardReturnValueEntry& e, ck::CK_RV v) { return e.value < v; });
  if (found == table.data() + table.size() || found->value != rv) return nullptr;
  return found;
}

/// "0x" and lower-case digits, no leading zeros, no width.  Written by hand:
/// GCC 12 has no std::format.
std::string hex_text(ck::CK_RV value) {
  char reversed[2 * sizeof(ck::CK_RV)];
  std::size_t n = 0;
  do {
    reversed[n++] = codec::HEX_DIGITS[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string text = "0x";
  while (n > 0) text.push_back(reversed[--n]);
  return text;
}

// The texts name the Windows call on every platform, so that a module that
// does not load gives the same document everywhere.
std::string_view loader_text(const LoaderError& error) {
  if (std::holds_alternative<LoadFailed>(error)) return "LoadLibraryExW failed";
  return "LoadLibraryExW failed, but system did not report the error";
}

std::string text_of(const LoaderFailed& e) {
  return "libloading error (" + std::string(loader_text(e.error)) + ")";
}
std::string text_of(const CallFailed& e) {
  return "Function::" + std::string(function_name(e.function)) +
         ": PKCS11 error: " + return_value_text(e.value);
}
std::string text_of(const MissingEntryPoint& e) {
  return "Missing PKCS#11 symbol: " + std::string(e.name);
}
std::string text_of(const NullEntryPoint&) { return "Calling a NULL function pointer"; }
std::string text_of(const LengthOutOfRange&) {
  return "Conversion between integers failed (out of range integral type conversion attempted)";
}
std::string text_of(const InvalidResponse& e) {
  return "Function::" + std::string(function_name(e.function)) +
         ": invalid response from the PKCS#11 module (" + std::string(e.what) + ")";
}

}  // namespace

std::expected<void, ReturnValue> classify_return_value(ck::CK_RV rv) {
  if (rv == ck::CKR_OK) return {};
  if (find_standard(rv) != nullptr)
    return std::unexpected(ReturnValue{ReturnValue::Kind::Standard, rv});
  // Everything from CKR_VENDOR_DEFINED up is the vendors' range; with a 64-bit
  // CK_ULONG that includes every value above 0xFFFFFFFF.
  if (rv >= ck::CKR_VENDOR_DEFINED)
    return std::unexpected(ReturnValue{ReturnValue::Kind::VendorDefined, rv});
  return std::unexpected(ReturnValue{ReturnValue::Kind::Unlisted, rv});
}

Result<void> check_call(ck::CK_RV rv, Function function) {
  std::expected<void, ReturnValue> classified = classify_return_value(rv);
  if (classified) return {};
  return std::unexpected(BindingError{CallFailed{function, classified.error()}});
}

std::string return_value_text(const ReturnValue& value) {
  switch (value.kind) {
    case ReturnValue::Kind::Standard:
      // A Standard value always comes from classify_return_value; should one be
      // built by hand with a number outside the table, it still gets a text.
      if (const StandardReturnValueEntry* entry = find_standard(value.raw))
        return std::string(entry->description);
      return "Unknown error code: " + hex_text(value.raw);
    case ReturnValue::Kind::VendorDefined:
      return "CKR_VENDOR_DEFINED(" + hex_text(value.raw) + ")";
    case ReturnValue::Kind::Unlisted:
      break;
  }
  return "Unknown error code: " + hex_text(value.raw);
}

std::string error_text(const BindingError& error) {
  return std::visit([](const auto& e) { return text_of(e); }, error);
}

std::string_view standard_description(ck::CK_RV rv) {
  const StandardReturnValueEntry* entry = find_standard(rv);
  return entry != nullptr ? entry->description : std::string_view{};
}

}  // namespace mirandel::pkcs11
