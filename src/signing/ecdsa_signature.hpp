// The form of an ECDSA signature: PKCS#11 tokens answer r ‖ s, X.509 and CMS
// carry the DER ECDSA-Sig-Value ::= SEQUENCE { r INTEGER, s INTEGER }.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace mirandel {

/// The DER ECDSA-Sig-Value of a token's r ‖ s, the two halves of equal
/// length: minimal INTEGERs, a leading zero byte where the high bit is set,
/// the long length form where a length reaches 128. nullopt when the length
/// is odd or zero, which no token may answer.
std::optional<std::vector<std::uint8_t>> ecdsa_der_signature(std::span<const std::uint8_t> r_and_s);

}  // namespace mirandel
