// The classification of return values and the one error value of the
// binding, with their English texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/entry_points.hpp"

namespace mirandel::pkcs11 {

/// A classified, non-zero CK_RV.
struct ReturnValue {
  enum class Kind : std::uint8_t { Standard, VendorDefined, Unlisted };
  Kind kind;
  /// The value as the module returned it (for Standard, the standard's number).
  ck::CK_RV raw;

  /// True when this is the standard return value `standard` (e.g. CKR_BUFFER_TOO_SMALL).
  constexpr bool is(ck::CK_RV standard) const { return kind == Kind::Standard && raw == standard; }
  friend constexpr bool operator==(const ReturnValue&, const ReturnValue&) = default;
};

/// The loader's failures that reach the user.
struct LoadFailed {
  std::uint32_t os_code;  ///< kept, never shown
  friend constexpr bool operator==(const LoadFailed&, const LoadFailed&) = default;
};
struct LoadFailedUnreported {
  friend constexpr bool operator==(const LoadFailedUnreported&,
                                   const LoadFailedUnreported&) = default;
};
using LoaderError = std::variant<LoadFailed, LoadFailedUnreported>;

/// BindingError kinds.
struct LoaderFailed {
  LoaderError error;
  /// The PE Machine value of a module file built for another processor;
  /// kept for the note on standard error, never part of the text.
  std::optional<std::uint16_t> foreign_machine = std::nullopt;
  friend constexpr bool operator==(const LoaderFailed&, const LoaderFailed&) = default;
};
struct CallFailed {
  Function function;
  ReturnValue value;
  friend constexpr bool operator==(const CallFailed&, const CallFailed&) = default;
};
struct MissingEntryPoint {
  std::string_view name;  ///< always "C_GetFunctionList"
  friend constexpr bool operator==(const MissingEntryPoint&, const MissingEntryPoint&) = default;
};
struct NullEntryPoint {
  friend constexpr bool operator==(const NullEntryPoint&, const NullEntryPoint&) = default;
};
struct LengthOutOfRange {
  friend constexpr bool operator==(const LengthOutOfRange&, const LengthOutOfRange&) = default;
};
/// The module answered CKR_OK but broke the PKCS#11 contract (a null list, more
/// handles or bytes than the buffer holds, a clock field that is not a number).
/// Nothing is read past our buffers or through the null pointer; `what` names
/// the breach in a few English words.
struct InvalidResponse {
  Function function;
  std::string_view what;
  friend constexpr bool operator==(const InvalidResponse&, const InvalidResponse&) = default;
};

using BindingError = std::variant<LoaderFailed, CallFailed, MissingEntryPoint, NullEntryPoint,
                                  LengthOutOfRange, InvalidResponse>;

template <typename T>
using Result = std::expected<T, BindingError>;

/// True when `error` is a call that failed with the standard value `standard`.
inline bool failed_with(const BindingError& error, ck::CK_RV standard) {
  const CallFailed* failed = std::get_if<CallFailed>(&error);
  return failed != nullptr && failed->value.is(standard);
}

/// Classifies a CK_RV: success for CKR_OK, otherwise its ReturnValue.
std::expected<void, ReturnValue> classify_return_value(ck::CK_RV rv);

/// Success for CKR_OK, otherwise CallFailed(function, classified value).
Result<void> check_call(ck::CK_RV rv, Function function);

/// The description of a return value (standard table, vendor-defined or unlisted).
std::string return_value_text(const ReturnValue& value);

/// The English text of a binding failure; no newline.
std::string error_text(const BindingError& error);

/// The description the standard table holds for `rv`, or an empty view when
/// `rv` is not one of the 93 standard values.  Exposed for the table test.
std::string_view standard_description(ck::CK_RV rv);

/// All 93 standard values with their names, ascending.  Exposed for the table test.
struct StandardReturnValueEntry {
  ck::CK_RV value;
  std::string_view name;
  std::string_view description;
};
std::span<const StandardReturnValueEntry> standard_return_values();

/// Converts a length or count for a CK_ULONG parameter, refusing values that
/// do not fit (LengthOutOfRange).  Generic over the target so that the 32-bit
/// Windows conversion can be tested on any platform.
template <typename Target = ck::CK_ULONG>
constexpr std::expected<Target, BindingError> to_ck_ulong(std::size_t n) {
  if (static_cast<unsigned long long>(n) >
      static_cast<unsigned long long>(static_cast<Target>(~Target{0})))
    return std::unexpected(BindingError{LengthOutOfRange{}});
  return static_cast<Target>(n);
}

}  // namespace mirandel::pkcs11
