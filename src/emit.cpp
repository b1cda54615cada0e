// Delivery of the result document to the output file or standard output.
#include "emit.hpp"

#include "platform/console.hpp"
#include "platform/file_io.hpp"

namespace mirandel {

bool deliver_document(std::string_view text, const std::optional<platform::OutputFile>& output) {
  if (output) {
    // A file that cannot be written is not reported anywhere, and the
    // document does not fall back to standard output: the caller asked for
    // the file, finds it untouched, partial or missing there, and status 1.
    return platform::write_file(*output, text);
  }
  return platform::write_document_to_stdout(text);
}

bool emit_document(const ListingDocument& document,
                   const std::optional<platform::OutputFile>& output) {
  return emit_serialised([&document] { return serialize(document); }, FALLBACK_LISTING_DOCUMENT,
                         output);
}

bool emit_document(const SignatureDocument& document,
                   const std::optional<platform::OutputFile>& output) {
  return emit_serialised([&document] { return serialize(document); }, FALLBACK_SIGNATURE_DOCUMENT,
                         output);
}

}  // namespace mirandel
