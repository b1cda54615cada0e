// Feeds arbitrary bytes as a token's r ‖ s to the DER converter: odd and
// empty inputs are refused; every other input gives a DER SEQUENCE of two
// minimal INTEGERs, read back here with a reader of its own, whose values are
// the two halves.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz_support.hpp"
#include "signing/ecdsa_signature.hpp"

using mirandel::fuzz::require;

namespace {

/// Reads one DER tag and length at `at`; the contents' span, `at` moved past it.
std::span<const std::uint8_t> read_element(std::span<const std::uint8_t> der, std::size_t& at,
                                           std::uint8_t tag) {
  require(at + 2 <= der.size() && der[at] == tag);
  std::size_t length = der[at + 1];
  at += 2;
  if (length >= 0x80) {
    const std::size_t count = length & 0x7F;
    require(count >= 1 && count <= sizeof(std::size_t) && at + count <= der.size());
    require(der[at] != 0);  // no padded length
    length = 0;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | der[at + i];
    require(length >= 0x80);  // the short form where it fits
    at += count;
  }
  require(length <= der.size() - at);
  const std::span<const std::uint8_t> contents = der.subspan(at, length);
  at += length;
  return contents;
}

/// The INTEGER is minimal, non-negative, and equals the unsigned `half`.
void require_integer_of(std::span<const std::uint8_t> contents,
                        std::span<const std::uint8_t> half) {
  require(!contents.empty() && (contents[0] & 0x80) == 0);
  if (contents.size() > 1) require(contents[0] != 0 || (contents[1] & 0x80) != 0);
  std::size_t first = 0;
  while (first < half.size() && half[first] == 0) ++first;
  std::span<const std::uint8_t> value = contents;
  while (!value.empty() && value[0] == 0) value = value.subspan(1);
  require(value.size() == half.size() - first);
  for (std::size_t i = 0; i < value.size(); ++i) require(value[i] == half[first + i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const std::optional<std::vector<std::uint8_t>> der = mirandel::ecdsa_der_signature(input);
  require(der.has_value() == (size != 0 && size % 2 == 0));
  if (!der) return 0;
  std::size_t at = 0;
  const std::span<const std::uint8_t> sequence = read_element(*der, at, 0x30);
  require(at == der->size());
  std::size_t inner = 0;
  const std::span<const std::uint8_t> r = read_element(sequence, inner, 0x02);
  const std::span<const std::uint8_t> s = read_element(sequence, inner, 0x02);
  require(inner == sequence.size());
  require_integer_of(r, input.first(size / 2));
  require_integer_of(s, input.subspan(size / 2));
  return 0;
}
