// Delivery of the result document.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "documents.hpp"

namespace mirandel {

/// Serialises the document and writes it to `output` (replaced whole, exact
/// bytes, no line feed) or, without an output path, to standard output
/// followed by one line feed. Prints nothing on failure. True only when the
/// whole document reached its destination.
[[nodiscard]] bool emit_document(const ListingDocument& document,
                                 const std::optional<std::filesystem::path>& output);
[[nodiscard]] bool emit_document(const SignatureDocument& document,
                                 const std::optional<std::filesystem::path>& output);

/// What is delivered when a document cannot be serialised: a whole document
/// of the same kind, every member present, with a fixed reason in `error`.
/// Built at compile time so that delivering it needs no memory; the reason
/// needs no escaping.
inline constexpr std::string_view FALLBACK_LISTING_DOCUMENT =
    R"({"slots":[],"error":"Serializzazione del documento fallita."})";
inline constexpr std::string_view FALLBACK_SIGNATURE_DOCUMENT =
    R"({"signature":null,"error":"Serializzazione del documento fallita."})";

/// Writes finished document text to `output`, or to standard output with a
/// line feed. Prints nothing; true only when all of it was written.
[[nodiscard]] bool deliver_document(std::string_view text,
                                    const std::optional<std::filesystem::path>& output);

/// Runs `serialise` to get the whole text before anything is written, then
/// delivers it; delivers `fallback` instead if `serialise` throws. True only
/// when what was delivered arrived whole.
template <typename Serialise>
[[nodiscard]] bool emit_serialised(Serialise&& serialise, std::string_view fallback,
                                   const std::optional<std::filesystem::path>& output) {
  std::string text;
  try {
    text = serialise();
  } catch (const std::exception&) {
    return deliver_document(fallback, output);
  }
  return deliver_document(text, output);
}

}  // namespace mirandel
