// DER encoding of r ‖ s. Sizes are worked out first, so the result is
// written into one buffer of its final size.
#include "signing/ecdsa_signature.hpp"

#include <algorithm>
#include <cstddef>

#include "pkcs11/session.hpp"

namespace mirandel {
namespace {

constexpr std::uint8_t DER_INTEGER = 0x02;
constexpr std::uint8_t DER_SEQUENCE = 0x30;

/// The bytes of a DER length: one below 128, else 0x80 | count, then the
/// count big-endian bytes.
std::size_t length_size(std::size_t length) {
  if (length < 0x80) return 1;
  std::size_t count = 0;
  for (std::size_t rest = length; rest != 0; rest >>= 8) ++count;
  return 1 + count;
}

void append_length(std::vector<std::uint8_t>& out, std::size_t length) {
  if (length < 0x80) {
    out.push_back(static_cast<std::uint8_t>(length));
    return;
  }
  const std::size_t count = length_size(length) - 1;
  out.push_back(static_cast<std::uint8_t>(0x80 | count));
  for (std::size_t i = count; i-- > 0;) out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
}

/// One unsigned big-endian half as a DER INTEGER's contents: leading zero
/// bytes dropped (one stays for zero), one put back where the high bit is set.
struct Integer {
  std::span<const std::uint8_t> magnitude;
  bool leading_zero;

  explicit Integer(std::span<const std::uint8_t> half) {
    std::size_t first = 0;
    while (first + 1 < half.size() && half[first] == 0) ++first;
    magnitude = half.subspan(first);
    leading_zero = (magnitude.front() & 0x80) != 0;
  }
  std::size_t content_size() const { return magnitude.size() + (leading_zero ? 1 : 0); }
  std::size_t encoded_size() const { return 1 + length_size(content_size()) + content_size(); }
  void append_to(std::vector<std::uint8_t>& out) const {
    out.push_back(DER_INTEGER);
    append_length(out, content_size());
    if (leading_zero) out.push_back(0);
    out.insert(out.end(), magnitude.begin(), magnitude.end());
  }
};

}  // namespace

std::optional<std::vector<std::uint8_t>> ecdsa_der_signature(
    std::span<const std::uint8_t> r_and_s) {
  if (r_and_s.empty() || r_and_s.size() % 2 != 0) return std::nullopt;
  const std::size_t half = r_and_s.size() / 2;
  const Integer r(r_and_s.first(half));
  const Integer s(r_and_s.subspan(half));
  const std::size_t content = r.encoded_size() + s.encoded_size();
  std::vector<std::uint8_t> out;
  out.reserve(1 + length_size(content) + content);
  out.push_back(DER_SEQUENCE);
  append_length(out, content);
  r.append_to(out);
  s.append_to(out);
  return out;
}

std::optional<std::string_view> ecdsa_signature_fault(std::span<const std::uint8_t> r_and_s) {
  if (r_and_s.empty() || r_and_s.size() % 2 != 0) return pkcs11::ECDSA_SIGNATURE_MALFORMED;
  const std::size_t half = r_and_s.size() / 2;
  const auto zero = [](std::span<const std::uint8_t> integer) {
    return std::ranges::all_of(integer, [](std::uint8_t byte) { return byte == 0; });
  };
  if (zero(r_and_s.first(half)) || zero(r_and_s.subspan(half))) return pkcs11::ECDSA_SIGNATURE_ZERO;
  return std::nullopt;
}

}  // namespace mirandel
