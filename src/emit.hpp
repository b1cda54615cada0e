// Delivery of the result document.
#pragma once

#include <filesystem>
#include <optional>

#include "documents.hpp"

namespace mirandel {

/// Serialises the document and writes it to `output` (created or truncated,
/// exact bytes, no line feed; failures silent) or, without an output path, to
/// standard output followed by one line feed.
void emit_document(const ListingDocument& document, const std::optional<std::filesystem::path>& output);
void emit_document(const SignatureDocument& document,
                   const std::optional<std::filesystem::path>& output);

}  // namespace mirandel
