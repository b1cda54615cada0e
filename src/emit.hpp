// Delivery of the result document, the program's one answer. The whole text
// is built in memory before the first byte is written, so a failure while
// building it never leaves half a document anywhere. With an output path an
// existing file is written in place, so it stays the caller's file and a
// handle on it sees the document; a new one is written under a temporary
// name and renamed into place (platform::write_file). Without one, the
// document and a line feed go to the real standard output, resumed after
// partial and interrupted writes and waiting while a non-blocking stream is
// full. Nothing is printed on failure: false here becomes exit status 1, the
// caller's only sign.
#pragma once

#include <algorithm>
#include <array>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "documents.hpp"
#include "messages.hpp"
#include "platform/file_io.hpp"

namespace mirandel {

/// Serialises the document and delivers it: to `output` exactly, or to
/// standard output with a line feed. True only when the whole document
/// reached its destination.
[[nodiscard]] bool emit_document(const ListingDocument& document,
                                 const std::optional<platform::OutputFile>& output);
[[nodiscard]] bool emit_document(const SignatureDocument& document,
                                 const std::optional<platform::OutputFile>& output);

namespace detail {

/// The characters of `PARTS`, one after the other, as a constant array.
template <const std::string_view&... PARTS>
inline constexpr std::array<char, (PARTS.size() + ...)> JOINED = [] {
  std::array<char, (PARTS.size() + ...)> joined{};
  char* next = joined.data();
  ((next = std::ranges::copy(PARTS, next).out), ...);
  return joined;
}();

template <const std::string_view&... PARTS>
inline constexpr std::string_view JOINED_VIEW{JOINED<PARTS...>.data(), JOINED<PARTS...>.size()};

inline constexpr std::string_view LISTING_WITHOUT_SLOTS = R"({"slots":[],"error":")";
inline constexpr std::string_view SIGNATURE_WITHOUT_VALUE = R"({"signature":null,"error":")";
inline constexpr std::string_view END_OF_ERROR = R"("})";

// The reason goes into the documents below unescaped.
static_assert(std::ranges::none_of(SERIALIZATION_FAILED, [](char c) {
  return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}));

}  // namespace detail

/// What is delivered when a document cannot be serialised: a whole document
/// of the same kind, every member present, SERIALIZATION_FAILED in `error`.
/// Built at compile time, because serialising failed most likely for want of
/// memory, and delivering these needs none.
inline constexpr std::string_view FALLBACK_LISTING_DOCUMENT =
    detail::JOINED_VIEW<detail::LISTING_WITHOUT_SLOTS, SERIALIZATION_FAILED, detail::END_OF_ERROR>;
inline constexpr std::string_view FALLBACK_SIGNATURE_DOCUMENT =
    detail::JOINED_VIEW<detail::SIGNATURE_WITHOUT_VALUE, SERIALIZATION_FAILED,
                        detail::END_OF_ERROR>;

/// Writes finished document text to `output`, or to standard output with a
/// line feed. True only when all of it was written.
[[nodiscard]] bool deliver_document(std::string_view text,
                                    const std::optional<platform::OutputFile>& output);

/// Runs `serialise` to get the whole text before anything is written, then
/// delivers it; delivers `fallback` instead if `serialise` throws. True only
/// when what was delivered arrived whole.
template <typename Serialise>
[[nodiscard]] bool emit_serialised(Serialise&& serialise, std::string_view fallback,
                                   const std::optional<platform::OutputFile>& output) {
  std::string text;
  try {
    text = serialise();
  } catch (const std::exception&) {
    return deliver_document(fallback, output);
  }
  return deliver_document(text, output);
}

}  // namespace mirandel
