// Checking a signature against the public key of an X.509 certificate with the
// system's cryptography: libcrypto on Linux, CryptoAPI and CNG on Windows.
// The program has no signature code of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/digest.hpp"

namespace mirandel::platform {

/// The signature schemes the signing mechanisms produce.
enum class SignatureScheme : std::uint8_t {
  RsaPkcs1,  ///< RSASSA-PKCS1-v1_5 over the DigestInfo of the named hash
  RsaPss,    ///< RSASSA-PSS, MGF1 with the named hash, salt as long as the hash
  Ecdsa,     ///< ECDSA; the signature is r‖s, as a PKCS#11 module returns it
};

/// The subject public key of a certificate, held by the system's library.
/// Move-only; the key is released when destroyed.
class CertificateKey {
 public:
  /// Reads `certificate` as exactly one DER X.509 certificate whose subject
  /// public key is RSA, or EC on P-256, P-384 or P-521. nullopt for any other
  /// bytes or key, and when the system's library cannot read it.
  static std::optional<CertificateKey> from_certificate(
      std::span<const std::uint8_t> certificate) noexcept;

  CertificateKey(CertificateKey&& other) noexcept;
  CertificateKey& operator=(CertificateKey&& other) noexcept;
  CertificateKey(const CertificateKey&) = delete;
  CertificateKey& operator=(const CertificateKey&) = delete;
  ~CertificateKey();

  /// Whether `signature` is a valid `scheme` signature, under this key, of a
  /// message whose `algorithm` digest is `digest`. False for a scheme that
  /// does not fit the key, a digest of the wrong size or a malformed signature.
  bool verifies(SignatureScheme scheme, DigestAlgorithm algorithm,
                std::span<const std::uint8_t> digest,
                std::span<const std::uint8_t> signature) const noexcept;

 private:
  struct State;  // each platform's own
  explicit CertificateKey(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace mirandel::platform
