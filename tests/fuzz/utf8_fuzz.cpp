// Runs the UTF-8 helpers on arbitrary bytes and checks how they agree:
// lossy decoding always yields valid UTF-8 and leaves valid text alone,
// trimming gives a piece of its input, and blank means trimmed to nothing.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "codec/utf8.hpp"
#include "fuzz_support.hpp"

using mirandel::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mirandel::codec;
  const std::string_view text = mirandel::fuzz::as_text(data, size);

  const bool valid = is_valid_utf8(text);
  const std::string decoded = decode_utf8_lossy(std::span(data, size));
  require(is_valid_utf8(decoded));
  require(valid == (decoded == text));

  // Walking by sequence length covers the text exactly when it is valid.
  std::size_t pos = 0;
  while (pos < size) {
    const std::size_t length = utf8_sequence_length(std::span(data + pos, size - pos));
    if (length == 0) break;
    require(length <= 4 && pos + length <= size);
    pos += length;
  }
  require(valid == (pos == size));

  const std::string_view trimmed = trim_white_space(text);
  require(trimmed.data() >= text.data() &&
          trimmed.data() + trimmed.size() <= text.data() + text.size());
  require(is_blank(text) == trimmed.empty());
  require(trim_white_space(trimmed) == trimmed);
  if (!trimmed.empty()) require(!is_blank(trimmed));
  return 0;
}
