// Delivery of the result document to the output file or standard output.
#include "emit.hpp"

#include "platform/console.hpp"
#include "platform/file_io.hpp"

namespace mirandel {

void deliver_document(std::string_view text, const std::optional<std::filesystem::path>& output) {
  if (output) {
    // A file that cannot be written is not reported anywhere, and the
    // document does not fall back to standard output: the caller asked for
    // the file and finds it missing or incomplete.
    (void)platform::write_file(*output, text);
    return;
  }
  platform::write_document_to_stdout(text);
}

void emit_document(const ListingDocument& document,
                   const std::optional<std::filesystem::path>& output) {
  emit_serialised([&document] { return serialize(document); }, output);
}

void emit_document(const SignatureDocument& document,
                   const std::optional<std::filesystem::path>& output) {
  emit_serialised([&document] { return serialize(document); }, output);
}

}  // namespace mirandel
