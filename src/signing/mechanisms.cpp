// The mechanism table and the input of the raw mechanisms.
#include "signing/mechanisms.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace mirandel {
namespace {

using platform::DigestAlgorithm;

constexpr ck::CK_RSA_PKCS_PSS_PARAMS NO_PSS{0, 0, 0};
constexpr ck::CK_RSA_PKCS_PSS_PARAMS PSS_SHA256{ck::CKM_SHA256, ck::CKG_MGF1_SHA256, 32};
constexpr ck::CK_RSA_PKCS_PSS_PARAMS PSS_SHA384{ck::CKM_SHA384, ck::CKG_MGF1_SHA384, 48};
constexpr ck::CK_RSA_PKCS_PSS_PARAMS PSS_SHA512{ck::CKM_SHA512, ck::CKG_MGF1_SHA512, 64};

constexpr std::array<SignMechanism, 9> MECHANISMS = {{
    {"rsa_sha256", SignatureScheme::RsaPkcs1, DigestAlgorithm::Sha256, ck::CKM_SHA256_RSA_PKCS,
     ck::CKM_RSA_PKCS, NO_PSS},
    {"rsa_sha384", SignatureScheme::RsaPkcs1, DigestAlgorithm::Sha384, ck::CKM_SHA384_RSA_PKCS,
     ck::CKM_RSA_PKCS, NO_PSS},
    {"rsa_sha512", SignatureScheme::RsaPkcs1, DigestAlgorithm::Sha512, ck::CKM_SHA512_RSA_PKCS,
     ck::CKM_RSA_PKCS, NO_PSS},
    {"rsa_pss_sha256", SignatureScheme::RsaPss, DigestAlgorithm::Sha256,
     ck::CKM_SHA256_RSA_PKCS_PSS, ck::CKM_RSA_PKCS_PSS, PSS_SHA256},
    {"rsa_pss_sha384", SignatureScheme::RsaPss, DigestAlgorithm::Sha384,
     ck::CKM_SHA384_RSA_PKCS_PSS, ck::CKM_RSA_PKCS_PSS, PSS_SHA384},
    {"rsa_pss_sha512", SignatureScheme::RsaPss, DigestAlgorithm::Sha512,
     ck::CKM_SHA512_RSA_PKCS_PSS, ck::CKM_RSA_PKCS_PSS, PSS_SHA512},
    {"ecdsa_sha256", SignatureScheme::Ecdsa, DigestAlgorithm::Sha256, ck::CKM_ECDSA_SHA256,
     ck::CKM_ECDSA, NO_PSS},
    {"ecdsa_sha384", SignatureScheme::Ecdsa, DigestAlgorithm::Sha384, ck::CKM_ECDSA_SHA384,
     ck::CKM_ECDSA, NO_PSS},
    {"ecdsa_sha512", SignatureScheme::Ecdsa, DigestAlgorithm::Sha512, ck::CKM_ECDSA_SHA512,
     ck::CKM_ECDSA, NO_PSS},
}};

// DER of DigestInfo ::= SEQUENCE { AlgorithmIdentifier { OID, NULL }, OCTET STRING }
// up to the digest's length byte; the digest follows.
constexpr std::array<std::uint8_t, 19> SHA256_PREFIX = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                        0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                        0x01, 0x05, 0x00, 0x04, 0x20};
constexpr std::array<std::uint8_t, 19> SHA384_PREFIX = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                        0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                        0x02, 0x05, 0x00, 0x04, 0x30};
constexpr std::array<std::uint8_t, 19> SHA512_PREFIX = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                        0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                        0x03, 0x05, 0x00, 0x04, 0x40};

}  // namespace

std::span<const SignMechanism> sign_mechanisms() { return MECHANISMS; }

const SignMechanism* find_sign_mechanism(std::string_view name) {
  const auto* found = std::ranges::find(MECHANISMS, name, &SignMechanism::name);
  return found == MECHANISMS.end() ? nullptr : found;
}

pkcs11::Mechanism hashing_mechanism(const SignMechanism& mechanism) {
  if (mechanism.scheme == SignatureScheme::RsaPss)
    return {mechanism.hashing, mechanism.pss_parameters};
  return {mechanism.hashing};
}

pkcs11::Mechanism raw_mechanism(const SignMechanism& mechanism) {
  if (mechanism.scheme == SignatureScheme::RsaPss) return {mechanism.raw, mechanism.pss_parameters};
  return {mechanism.raw};
}

std::span<const std::uint8_t> digest_info_prefix(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::Sha256:
      return SHA256_PREFIX;
    case DigestAlgorithm::Sha384:
      return SHA384_PREFIX;
    case DigestAlgorithm::Sha512:
      return SHA512_PREFIX;
  }
  return {};
}

RawInput raw_input(const SignMechanism& mechanism, const platform::Digest& digest) {
  RawInput input;
  if (mechanism.scheme == SignatureScheme::RsaPkcs1) {
    const std::span<const std::uint8_t> prefix = digest_info_prefix(mechanism.digest);
    std::ranges::copy(prefix, input.bytes.begin());
    input.size = prefix.size();
  }
  std::ranges::copy(digest.view(), input.bytes.begin() + static_cast<std::ptrdiff_t>(input.size));
  input.size += digest.size;
  return input;
}

}  // namespace mirandel
