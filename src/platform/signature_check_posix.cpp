// Signature checks with OpenSSL's libcrypto, opened on first use. The digest
// is verified directly (EVP_PKEY_verify with the signature's hash named), so
// the data is hashed once, by the caller.

#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "platform/libcrypto_posix.hpp"
#include "platform/signature_check.hpp"

namespace mirandel::platform {

struct CertificateKey::State {
  const Libcrypto* crypto;
  EVP_PKEY* key;
  /// The byte length of an RSA modulus, or of each of an ECDSA r and s.
  std::size_t element_size;

  State(const Libcrypto* crypto_, EVP_PKEY* key_, std::size_t element_size_) noexcept
      : crypto(crypto_), key(key_), element_size(element_size_) {}
  ~State() { crypto->EVP_PKEY_free(key); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
};

namespace {

// The curves a token's EC key may use, by libcrypto's group names.
constexpr std::string_view SUPPORTED_CURVES[] = {SN_X9_62_prime256v1, SN_secp384r1, SN_secp521r1};

bool is_supported_curve(const Libcrypto& crypto, const EVP_PKEY* key) noexcept {
  char name[64] = {};
  std::size_t length = 0;
  if (crypto.EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) return false;
  const std::string_view group(name, ::strnlen(name, sizeof name));
  for (const std::string_view curve : SUPPORTED_CURVES)
    if (group == curve) return true;
  return false;
}

/// The key of exactly one DER certificate, or nullptr.
EVP_PKEY* read_certificate_key(const Libcrypto& crypto,
                               std::span<const std::uint8_t> certificate) noexcept {
  if (certificate.empty() || certificate.size() > static_cast<std::size_t>(LONG_MAX))
    return nullptr;
  const unsigned char* cursor = certificate.data();
  X509* parsed = crypto.d2i_X509(nullptr, &cursor, static_cast<long>(certificate.size()));
  if (parsed == nullptr) return nullptr;
  // Bytes after the certificate mean the input is something else.
  const bool whole = cursor == certificate.data() + certificate.size();
  EVP_PKEY* key = whole ? crypto.X509_get_pubkey(parsed) : nullptr;
  crypto.X509_free(parsed);
  return key;
}

/// Writes the DER form of an ECDSA r‖s, which libcrypto verifies, to `out`;
/// its size, or 0 when it cannot be made.
std::size_t ecdsa_der(const Libcrypto& crypto, std::span<const std::uint8_t> r_and_s,
                      std::span<unsigned char> out) noexcept {
  const std::size_t half = r_and_s.size() / 2;
  BIGNUM* r = crypto.BN_bin2bn(r_and_s.data(), static_cast<int>(half), nullptr);
  BIGNUM* s = crypto.BN_bin2bn(r_and_s.data() + half, static_cast<int>(half), nullptr);
  ECDSA_SIG* sig = crypto.ECDSA_SIG_new();
  if (r == nullptr || s == nullptr || sig == nullptr || crypto.ECDSA_SIG_set0(sig, r, s) != 1) {
    crypto.BN_free(r);
    crypto.BN_free(s);
    crypto.ECDSA_SIG_free(sig);
    return 0;
  }
  // From here the signature owns r and s.
  std::size_t size = 0;
  const int needed = crypto.i2d_ECDSA_SIG(sig, nullptr);
  if (needed > 0 && static_cast<std::size_t>(needed) <= out.size()) {
    unsigned char* cursor = out.data();
    if (crypto.i2d_ECDSA_SIG(sig, &cursor) == needed) size = static_cast<std::size_t>(needed);
  }
  crypto.ECDSA_SIG_free(sig);
  return size;
}

/// Sets the context for `scheme` with `md`; false when the key cannot take it.
bool set_scheme(const Libcrypto& crypto, EVP_PKEY_CTX* context, SignatureScheme scheme,
                const EVP_MD* md, int digest_length) noexcept {
  switch (scheme) {
    case SignatureScheme::RsaPkcs1:
      return crypto.EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
             crypto.EVP_PKEY_CTX_set_signature_md(context, md) == 1;
    case SignatureScheme::RsaPss:
      return crypto.EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PSS_PADDING) == 1 &&
             crypto.EVP_PKEY_CTX_set_signature_md(context, md) == 1 &&
             crypto.EVP_PKEY_CTX_set_rsa_mgf1_md(context, md) == 1 &&
             crypto.EVP_PKEY_CTX_set_rsa_pss_saltlen(context, digest_length) == 1;
    case SignatureScheme::Ecdsa:
      return crypto.EVP_PKEY_CTX_set_signature_md(context, md) == 1;
  }
  return false;
}

}  // namespace

CertificateKey::CertificateKey(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
CertificateKey::CertificateKey(CertificateKey&& other) noexcept = default;
CertificateKey& CertificateKey::operator=(CertificateKey&& other) noexcept = default;
CertificateKey::~CertificateKey() = default;

std::optional<CertificateKey> CertificateKey::from_certificate(
    std::span<const std::uint8_t> certificate) noexcept {
  const Libcrypto* crypto = libcrypto();
  if (crypto == nullptr) return std::nullopt;
  EVP_PKEY* key = read_certificate_key(*crypto, certificate);
  if (key == nullptr) {
    crypto->ERR_clear_error();
    return std::nullopt;
  }
  // Only keys of the plain RSA type: a key marked for PSS alone may carry
  // restrictions of its own, and CNG reads no such key either.
  const int type = crypto->EVP_PKEY_get_base_id(key);
  const int bits = crypto->EVP_PKEY_get_bits(key);
  const bool supported = bits > 0 && (type == EVP_PKEY_RSA ||
                                      (type == EVP_PKEY_EC && is_supported_curve(*crypto, key)));
  if (!supported) {
    crypto->EVP_PKEY_free(key);
    crypto->ERR_clear_error();
    return std::nullopt;
  }
  std::unique_ptr<State> state(new (std::nothrow)
                                   State(crypto, key, (static_cast<std::size_t>(bits) + 7) / 8));
  if (state == nullptr) {
    crypto->EVP_PKEY_free(key);
    return std::nullopt;
  }
  return CertificateKey(std::move(state));
}

bool CertificateKey::verifies(SignatureScheme scheme, DigestAlgorithm algorithm,
                              std::span<const std::uint8_t> digest,
                              std::span<const std::uint8_t> signature) const noexcept {
  if (state_ == nullptr || digest.size() != digest_size(algorithm)) return false;
  const Libcrypto& crypto = *state_->crypto;
  const bool ec = crypto.EVP_PKEY_get_base_id(state_->key) == EVP_PKEY_EC;
  if (ec != (scheme == SignatureScheme::Ecdsa)) return false;
  // A signature is exactly as long as the modulus, or twice the order for
  // r‖s: libcrypto would take some shorter ones, a strict verifier does not.
  if (signature.size() != (ec ? 2 : 1) * state_->element_size) return false;

  // r‖s of P-521 is 132 bytes; its DER form adds at most 9.
  unsigned char der[160];
  std::span<const std::uint8_t> checked = signature;
  if (ec) {
    const std::size_t size = ecdsa_der(crypto, signature, der);
    if (size == 0) {
      crypto.ERR_clear_error();
      return false;
    }
    checked = {der, size};
  }
  const EVP_MD* md = message_digest(crypto, algorithm);
  EVP_PKEY_CTX* context = md == nullptr ? nullptr : crypto.EVP_PKEY_CTX_new(state_->key, nullptr);
  const bool valid = context != nullptr && crypto.EVP_PKEY_verify_init(context) == 1 &&
                     set_scheme(crypto, context, scheme, md, static_cast<int>(digest.size())) &&
                     crypto.EVP_PKEY_verify(context, checked.data(), checked.size(), digest.data(),
                                            digest.size()) == 1;
  crypto.EVP_PKEY_CTX_free(context);
  crypto.ERR_clear_error();
  return valid;
}

}  // namespace mirandel::platform
