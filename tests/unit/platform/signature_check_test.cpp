// Signature checks against certificates and signatures made by the openssl
// command line at build time (signature_vectors.sh), the same vectors on
// Linux (libcrypto) and under Wine (CNG).
#include "platform/signature_check.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "codec/hex.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace mirandel::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view hex) { return codec::hex_decode(hex).value(); }

// Wine 8's CNG has no ECDSA P-521 (BCryptOpenAlgorithmProvider answers
// STATUS_NOT_IMPLEMENTED, CryptImportPublicKeyInfoEx2 NTE_BAD_ALGID): those
// cases are skipped there, by name, and run on Linux and on Windows.
bool under_wine() {
#if defined(_WIN32)
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

namespace vectors {
#define MIRANDEL_MESSAGE(hex) constexpr std::string_view message = hex;
#define MIRANDEL_CERTIFICATE(name, hex) constexpr std::string_view name = hex;
#define MIRANDEL_SIGNATURE(key, scheme, hash, hex)
#define MIRANDEL_UNSALTED_PSS(key, hash, hex)
#include "signature_vectors.inc"
#undef MIRANDEL_MESSAGE
#undef MIRANDEL_CERTIFICATE
#undef MIRANDEL_SIGNATURE
#undef MIRANDEL_UNSALTED_PSS
}  // namespace vectors

struct Signed {
  std::string_view key;
  std::string_view certificate;
  std::string_view other_certificate;  ///< of another key of the same kind
  SignatureScheme scheme;
  DigestAlgorithm hash;
  std::string_view signature;
  bool valid;  ///< false for PSS without salt
};

constexpr Signed SIGNED[] = {
#define MIRANDEL_MESSAGE(hex)
#define MIRANDEL_CERTIFICATE(name, hex)
#define MIRANDEL_SIGNATURE(key, scheme, hash, hex)                                           \
  {#key, vectors::key, vectors::key##_other, SignatureScheme::scheme, DigestAlgorithm::hash, \
   hex,  true},
#define MIRANDEL_UNSALTED_PSS(key, hash, hex)                                                \
  {#key, vectors::key, vectors::key##_other, SignatureScheme::RsaPss, DigestAlgorithm::hash, \
   hex,  false},
#include "signature_vectors.inc"
#undef MIRANDEL_MESSAGE
#undef MIRANDEL_CERTIFICATE
#undef MIRANDEL_SIGNATURE
#undef MIRANDEL_UNSALTED_PSS
};

void PrintTo(const Signed& row, std::ostream* out) { *out << row.key; }

std::string signed_name(const testing::TestParamInfo<Signed>& info) {
  constexpr const char* SCHEMES[] = {"Pkcs1", "Pss", "Ecdsa"};
  constexpr const char* HASHES[] = {"Sha256", "Sha384", "Sha512"};
  return std::string(info.param.key) + SCHEMES[static_cast<int>(info.param.scheme)] +
         HASHES[static_cast<int>(info.param.hash)] + (info.param.valid ? "" : "NoSalt");
}

class SignatureCheck : public testing::TestWithParam<Signed> {};

TEST_P(SignatureCheck, AcceptsOnlyTheValidSignatureOfTheCertificatesKey) {
  const Signed& row = GetParam();
  if (row.key == "p521" && under_wine()) GTEST_SKIP() << "Wine's CNG lacks ECDSA P-521";
  const std::optional<CertificateKey> key =
      CertificateKey::from_certificate(bytes(row.certificate));
  const std::optional<CertificateKey> other =
      CertificateKey::from_certificate(bytes(row.other_certificate));
  ASSERT_TRUE(key.has_value() && other.has_value());
  const Bytes message = bytes(vectors::message);
  const Digest digest = compute_digest(row.hash, message).value();
  const DigestAlgorithm other_hash =
      row.hash == DigestAlgorithm::Sha256 ? DigestAlgorithm::Sha384 : DigestAlgorithm::Sha256;
  const Digest other_digest = compute_digest(other_hash, message).value();
  const SignatureScheme other_scheme =
      row.scheme == SignatureScheme::RsaPkcs1 ? SignatureScheme::RsaPss : SignatureScheme::RsaPkcs1;

  const Bytes signature = bytes(row.signature);
  Bytes flipped = signature;
  flipped[flipped.size() / 3] ^= 0x01;
  const Bytes short_by_one(signature.begin(), signature.end() - 1);
  // For ECDSA r = 0, which no valid signature has; for RSA all zeros.
  Bytes zero_first_half = signature;
  std::fill(zero_first_half.begin(), zero_first_half.begin() + zero_first_half.size() / 2, 0);
  if (row.scheme != SignatureScheme::Ecdsa) zero_first_half.assign(signature.size(), 0);

  struct Check {
    const char* what;
    const CertificateKey& key;
    SignatureScheme scheme;
    DigestAlgorithm hash;
    std::span<const std::uint8_t> digest;
    std::span<const std::uint8_t> signature;
    bool verifies;
  };
  const std::span<const std::uint8_t> d = digest.view();
  const Check checks[] = {
      {"the signature as made", *key, row.scheme, row.hash, d, signature, row.valid},
      {"one bit flipped", *key, row.scheme, row.hash, d, flipped, false},
      {"one byte short", *key, row.scheme, row.hash, d, short_by_one, false},
      {"first half zero", *key, row.scheme, row.hash, d, zero_first_half, false},
      {"the other scheme", *key, other_scheme, row.hash, d, signature, false},
      {"another hash", *key, row.scheme, other_hash, other_digest.view(), signature, false},
      {"digest one byte short", *key, row.scheme, row.hash, d.first(d.size() - 1), signature,
       false},
      {"another key's certificate", *other, row.scheme, row.hash, d, signature, false},
  };
  for (const Check& check : checks)
    EXPECT_EQ(check.key.verifies(check.scheme, check.hash, check.digest, check.signature),
              check.verifies)
        << check.what;
}

INSTANTIATE_TEST_SUITE_P(OpensslVectors, SignatureCheck, testing::ValuesIn(SIGNED), signed_name);

// The supported keys are read in every row above.
TEST(CertificateKey, RefusesAnythingButOneCertificateWithASupportedKey) {
  const Bytes rsa = bytes(vectors::rsa2048);
  Bytes trailing = rsa;
  trailing.push_back(0);
  const struct {
    const char* what;
    Bytes certificate;
  } rows[] = {
      {"EC secp256k1", bytes(vectors::secp256k1)},
      {"Ed25519", bytes(vectors::ed25519)},
      {"RSA key restricted to PSS", bytes(vectors::rsa_pss_only)},
      {"no bytes", {}},
      {"not a certificate", bytes("3082aa")},
      {"one byte missing", Bytes(rsa.begin(), rsa.end() - 1)},
      {"one byte after it", trailing},
  };
  for (const auto& row : rows)
    EXPECT_FALSE(CertificateKey::from_certificate(row.certificate).has_value()) << row.what;
}

}  // namespace
}  // namespace mirandel::platform
