// Delivery of the result document.
#pragma once

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "documents.hpp"

namespace mirandel {

/// Serialises the document and writes it to `output` (created or truncated,
/// exact bytes, no line feed; failures silent) or, without an output path, to
/// standard output followed by one line feed.
void emit_document(const ListingDocument& document,
                   const std::optional<std::filesystem::path>& output);
void emit_document(const SignatureDocument& document,
                   const std::optional<std::filesystem::path>& output);

/// What is delivered when a document cannot be serialised: the template
/// {"error":"..."} with a fixed reason, built at compile time so that
/// delivering it needs no memory.
inline constexpr std::string_view FALLBACK_DOCUMENT =
    R"({"error":"Serializzazione del documento fallita."})";

/// Writes finished document text to `output`, or to standard output with a
/// line feed. Reports nothing.
void deliver_document(std::string_view text, const std::optional<std::filesystem::path>& output);

/// Runs `serialise` to get the whole text before anything is written, then
/// delivers it; delivers FALLBACK_DOCUMENT instead if `serialise` throws.
template <typename Serialise>
void emit_serialised(Serialise&& serialise, const std::optional<std::filesystem::path>& output) {
  std::string text;
  try {
    text = serialise();
  } catch (const std::exception&) {
    deliver_document(FALLBACK_DOCUMENT, output);
    return;
  }
  deliver_document(text, output);
}

}  // namespace mirandel
