// How the operations of session.cpp, objects.cpp and slots.cpp call through
// the function table: every entry point is fetched right before its call,
// every CK_RV goes through check_call, and every buffer handed to the module
// is zero-filled.  Internal to src/pkcs11/.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/module.hpp"

namespace mirandel::pkcs11 {

/// Fetches the entry point of F and calls it with `args`; the one path from a
/// call to its Result for the operations without special cases.
template <Function F, typename... Args>
Result<void> call(const ModuleContext& module, Args... args) {
  Result<typename EntryPointType<F>::type> entry = typed_entry_point<F>(module);
  if (!entry) return std::unexpected(entry.error());
  return check_call((*entry)(args...), F);
}

/// Calls a release function (C_FindObjectsFinal, C_CloseSession) whose
/// failure nobody hears of; a null entry is skipped.  True on CKR_OK.
template <Function F, typename... Args>
bool call_release(const ModuleContext& module, Args... args) noexcept {
  Result<typename EntryPointType<F>::type> entry = typed_entry_point<F>(module);
  if (!entry) return false;
  return check_call((*entry)(args...), F).has_value();
}

// ---- The two-call form ----------------------------------------------------------
// An output of unknown length is read in two calls: one with a null buffer
// that asks for the length, then one with a buffer of that length.  What the
// module reports is believed only within limits, so that no answer can end in
// an allocation failure, exhausted memory or a read past our buffer.

// Sizes in bytes that the module reports (an attribute value, a signature)
// are believed up to this limit; a module asking for more gets an
// InvalidResponse.  No real token comes near it.
inline constexpr ck::CK_ULONG MAX_MODULE_BUFFER_BYTES = ck::CK_ULONG{256} << 20;

/// What is believed of one kind of output, and the failures when the module
/// answers beyond it.
struct OutputLimits {
  Function function;           ///< named in the InvalidResponse failures
  ck::CK_ULONG max_length;     ///< the longest length believed, in elements
  std::string_view too_large;  ///< the failure for a longer reported length
  /// The failure for an answer longer than the buffer it filled; empty when
  /// such an answer is cut to the buffer instead.
  std::string_view longer_than_buffer;
  /// How many times query_and_fill repeats the fill, with the new length,
  /// while the module answers CKR_BUFFER_TOO_SMALL.
  int retries = 0;
};

/// A zero-filled buffer for the length the module reported.  It has storage
/// for at least one element, so that its address is never null even for a
/// length of 0; the module is told the real length.
template <typename T>
class OutputBuffer {
 public:
  /// Refuses a reported length above the limit: InvalidResponse(too_large).
  static Result<OutputBuffer> allocate(ck::CK_ULONG reported, const OutputLimits& limits) {
    if (reported > limits.max_length)
      return std::unexpected(BindingError{InvalidResponse{limits.function, limits.too_large}});
    return OutputBuffer(static_cast<std::size_t>(reported));
  }

  T* data() noexcept { return storage_.data(); }
  ck::CK_ULONG length() const noexcept { return static_cast<ck::CK_ULONG>(length_); }

  /// The `written` elements the module filled in.  More than the buffer holds
  /// cannot have been written into it: the answer is cut to the buffer, or
  /// refused when a prefix would pass a truncated output off as complete.
  Result<std::vector<T>> take(ck::CK_ULONG written, const OutputLimits& limits) && {
    std::size_t size = length_;
    if (written <= length_) {
      size = static_cast<std::size_t>(written);
    } else if (!limits.longer_than_buffer.empty()) {
      return std::unexpected(
          BindingError{InvalidResponse{limits.function, limits.longer_than_buffer}});
    }
    storage_.resize(size);
    return std::move(storage_);
  }

 private:
  explicit OutputBuffer(std::size_t length)
      : storage_(std::max<std::size_t>(length, 1), T{}), length_(length) {}

  std::vector<T> storage_;
  std::size_t length_;
};

/// The two-call form for one output: `fill(nullptr, &length)` asks for the
/// length, then `fill(buffer, &length)` fills an OutputBuffer of it.
/// `fill(T*, CK_ULONG*)` makes the call and returns its Result<void>.
template <typename T, typename Fill>
Result<std::vector<T>> query_and_fill(const OutputLimits& limits, Fill fill) {
  ck::CK_ULONG length = 0;
  Result<void> queried = fill(static_cast<T*>(nullptr), &length);
  if (!queried) return std::unexpected(queried.error());
  for (int retries = 0;; ++retries) {
    Result<OutputBuffer<T>> buffer = OutputBuffer<T>::allocate(length, limits);
    if (!buffer) return std::unexpected(buffer.error());
    Result<void> filled = fill(buffer->data(), &length);
    if (filled) return std::move(*buffer).take(length, limits);
    // The output grew between the calls (a token arrived): `length` now holds
    // the new length.  A module that never stops growing fails with its last
    // answer.
    if (!failed_with(filled.error(), ck::CKR_BUFFER_TOO_SMALL) || retries == limits.retries)
      return std::unexpected(filled.error());
  }
}

}  // namespace mirandel::pkcs11
