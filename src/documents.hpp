// The two result documents and their compact JSON form.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirandel {

struct CertEntry {
  std::string der_hex;
};

struct SlotEntry {
  std::optional<std::string> description;
  std::optional<std::string> token_label;
  std::vector<CertEntry> certs;
};

struct ListingDocument {
  std::vector<SlotEntry> slots;
  std::optional<std::string> error;
};

struct SignatureDocument {
  std::optional<std::string> signature;
  std::optional<std::string> error;
};

/// Appends `text` as a JSON string: quotes, backslash and U+0000..U+001F
/// escaped, everything else copied as raw UTF-8 in runs.
void append_json_string(std::string& out, std::string_view text);

/// Compact JSON with the fixed member order; every member always written.
std::string serialize(const ListingDocument& document);
std::string serialize(const SignatureDocument& document);

}  // namespace mirandel
