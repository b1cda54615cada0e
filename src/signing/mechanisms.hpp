// The request's mechanism names and what each one asks of the token: first a
// mechanism that hashes the data on the token, then, for a token that does
// not offer it, a raw mechanism over a digest the program computes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/session.hpp"
#include "platform/digest.hpp"

namespace mirandel {

/// How the signature is made and what the document carries.
enum class SignatureScheme : std::uint8_t {
  RsaPkcs1,  ///< PKCS#1 v1.5; the raw mechanism signs DigestInfo ‖ digest
  RsaPss,    ///< RSA-PSS with MGF1 of the same digest and a salt of its size
  Ecdsa,     ///< ECDSA; the token's r ‖ s becomes a DER ECDSA-Sig-Value
};

/// One accepted `mechanism` name.
struct SignMechanism {
  std::string_view name;                      ///< as in the request, e.g. "rsa_sha256"
  SignatureScheme scheme;                     ///< the signature's form
  platform::DigestAlgorithm digest;           ///< the digest the signature is over
  ck::CK_MECHANISM_TYPE hashing;              ///< tried first: the token hashes
  ck::CK_MECHANISM_TYPE raw;                  ///< on CKR_MECHANISM_INVALID: the program hashes
  ck::CK_RSA_PKCS_PSS_PARAMS pss_parameters;  ///< for RsaPss only; zero otherwise
};

/// Every accepted name, in a fixed order: rsa_sha256/384/512,
/// rsa_pss_sha256/384/512, ecdsa_sha256/384/512.
std::span<const SignMechanism> sign_mechanisms();

/// The entry for `name` (exact, case-sensitive), or nullptr.
const SignMechanism* find_sign_mechanism(std::string_view name);

/// The mechanism for C_SignInit when the token hashes the data.
pkcs11::Mechanism hashing_mechanism(const SignMechanism& mechanism);

/// The mechanism for C_SignInit when the program hashes the data.
pkcs11::Mechanism raw_mechanism(const SignMechanism& mechanism);

/// The DER DigestInfo header that goes before a digest of `algorithm` in a
/// PKCS#1 v1.5 signature.
std::span<const std::uint8_t> digest_info_prefix(platform::DigestAlgorithm algorithm);

/// What the raw mechanism signs: `digest`, the data's digest, behind its
/// DigestInfo header for PKCS#1 v1.5.
struct RawInput {
  std::array<std::uint8_t, 19 + 64> bytes{};
  std::size_t size = 0;
  std::span<const std::uint8_t> view() const noexcept { return {bytes.data(), size}; }
};
RawInput raw_input(const SignMechanism& mechanism, const platform::Digest& digest);

}  // namespace mirandel
