// The form of an ECDSA signature: PKCS#11 tokens answer r ‖ s, X.509 and CMS
// carry the DER ECDSA-Sig-Value ::= SEQUENCE { r INTEGER, s INTEGER }.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace mirandel {

/// The DER ECDSA-Sig-Value of a token's r ‖ s, the two halves of equal
/// length: minimal INTEGERs, a leading zero byte where the high bit is set,
/// the long length form where a length reaches 128. nullopt when the length
/// is odd or zero, which no token may answer.
std::optional<std::vector<std::uint8_t>> ecdsa_der_signature(std::span<const std::uint8_t> r_and_s);

/// Why a token's r ‖ s cannot be an ECDSA signature: the reason of
/// pkcs11::ECDSA_SIGNATURE_MALFORMED (odd or zero length) or
/// pkcs11::ECDSA_SIGNATURE_ZERO (r or s is zero). nullopt when it can be.
std::optional<std::string_view> ecdsa_signature_fault(std::span<const std::uint8_t> r_and_s);

}  // namespace mirandel
