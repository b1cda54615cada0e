// Signature checks with CryptoAPI (crypt32.dll) reading the certificate and
// CNG (bcrypt.dll) verifying the digest.

#include <windows.h>
// windows.h first: wincrypt.h and bcrypt.h need its types.
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "platform/digest_win32.hpp"
#include "platform/signature_check.hpp"

namespace mirandel::platform {

struct CertificateKey::State {
  BCRYPT_KEY_HANDLE key;
  bool ec;
  /// The byte length of an RSA modulus, or of each of an ECDSA r and s.
  std::size_t element_size;

  State(BCRYPT_KEY_HANDLE key_, bool ec_, std::size_t element_size_) noexcept
      : key(key_), ec(ec_), element_size(element_size_) {}
  ~State() { BCryptDestroyKey(key); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;
};

namespace {

/// A certificate context, freed when it goes.
class Certificate {
 public:
  explicit Certificate(std::span<const std::uint8_t> der) noexcept
      : context_(CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                              static_cast<DWORD>(der.size()))) {}
  ~Certificate() {
    if (context_ != nullptr) CertFreeCertificateContext(context_);
  }
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  PCCERT_CONTEXT get() const noexcept { return context_; }

 private:
  PCCERT_CONTEXT context_;
};

/// Whether `der` is one DER element and nothing after it. CryptoAPI's decoder
/// may ignore what follows the certificate; such bytes are something else.
bool is_one_element(std::span<const std::uint8_t> der) noexcept {
  if (der.size() < 2) return false;
  std::size_t header = 2;
  std::size_t length = der[1];
  if (length > 0x80) {
    const std::size_t digits = length - 0x80;
    if (digits > 4 || der.size() < 2 + digits) return false;
    length = 0;
    for (std::size_t i = 0; i < digits; ++i) length = (length << 8) | der[2 + i];
    header += digits;
  } else if (length == 0x80) {
    return false;  // indefinite length is not DER
  }
  return der.size() - header == length;
}

/// The DER parameters of an EC key on each supported curve (the curve's
/// object identifier), with the byte length of its order.
struct Curve {
  std::string_view parameters;
  std::size_t element_size;
};
// The identifiers hold zero bytes: the literals need their full length.
using namespace std::string_view_literals;
constexpr Curve SUPPORTED_CURVES[] = {
    {"\x06\x08\x2a\x86\x48\xce\x3d\x03\x01\x07"sv, 32},  // P-256, 1.2.840.10045.3.1.7
    {"\x06\x05\x2b\x81\x04\x00\x22"sv, 48},              // P-384, 1.3.132.0.34
    {"\x06\x05\x2b\x81\x04\x00\x23"sv, 66},              // P-521, 1.3.132.0.35
};

/// The element size of a supported key, or 0.
std::size_t supported_element_size(CERT_PUBLIC_KEY_INFO& info, bool& ec) noexcept {
  const char* algorithm = info.Algorithm.pszObjId;
  if (algorithm == nullptr) return 0;
  ec = std::strcmp(algorithm, szOID_ECC_PUBLIC_KEY) == 0;
  if (std::strcmp(algorithm, szOID_RSA_RSA) == 0)
    return (CertGetPublicKeyLength(X509_ASN_ENCODING, &info) + 7) / 8;
  if (!ec) return 0;
  const std::string_view parameters(reinterpret_cast<const char*>(info.Algorithm.Parameters.pbData),
                                    info.Algorithm.Parameters.cbData);
  for (const Curve& curve : SUPPORTED_CURVES)
    if (parameters == curve.parameters) return curve.element_size;
  return 0;
}

}  // namespace

CertificateKey::CertificateKey(std::unique_ptr<State> state) noexcept : state_(std::move(state)) {}
CertificateKey::CertificateKey(CertificateKey&& other) noexcept = default;
CertificateKey& CertificateKey::operator=(CertificateKey&& other) noexcept = default;
CertificateKey::~CertificateKey() = default;

std::optional<CertificateKey> CertificateKey::from_certificate(
    std::span<const std::uint8_t> certificate) noexcept {
  if (certificate.size() > MAXDWORD || !is_one_element(certificate)) return std::nullopt;
  const Certificate parsed(certificate);
  if (parsed.get() == nullptr) return std::nullopt;
  CERT_PUBLIC_KEY_INFO& info = parsed.get()->pCertInfo->SubjectPublicKeyInfo;
  bool ec = false;
  const std::size_t element_size = supported_element_size(info, ec);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (element_size == 0 || !CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &info, 0, nullptr, &key))
    return std::nullopt;
  std::unique_ptr<State> state(new (std::nothrow) State(key, ec, element_size));
  if (state == nullptr) {
    BCryptDestroyKey(key);
    return std::nullopt;
  }
  return CertificateKey(std::move(state));
}

bool CertificateKey::verifies(SignatureScheme scheme, DigestAlgorithm algorithm,
                              std::span<const std::uint8_t> digest,
                              std::span<const std::uint8_t> signature) const noexcept {
  if (state_ == nullptr || digest.size() != digest_size(algorithm)) return false;
  if (state_->ec != (scheme == SignatureScheme::Ecdsa)) return false;
  // A signature is exactly as long as the modulus, or twice the order for r‖s.
  if (signature.size() != (state_->ec ? 2 : 1) * state_->element_size) return false;

  BCRYPT_PKCS1_PADDING_INFO pkcs1{win32::cng_digest_name(algorithm)};
  BCRYPT_PSS_PADDING_INFO pss{win32::cng_digest_name(algorithm), static_cast<ULONG>(digest.size())};
  void* padding = nullptr;
  ULONG flags = 0;
  switch (scheme) {
    case SignatureScheme::RsaPkcs1:
      padding = &pkcs1;
      flags = BCRYPT_PAD_PKCS1;
      break;
    case SignatureScheme::RsaPss:
      padding = &pss;
      flags = BCRYPT_PAD_PSS;
      break;
    case SignatureScheme::Ecdsa:
      // r‖s as it is, no padding. ECDSA uses only as many leading bits of
      // the digest as the order has: for P-256 and P-384 (whose orders are
      // whole bytes) a longer digest is cut here, which is what CNG would do
      // and what Wine's CNG does not. P-521's order is longer than any digest.
      digest = digest.first(std::min(digest.size(), state_->element_size));
      break;
  }
  // CNG modifies neither buffer, whatever the prototype says.
  return BCRYPT_SUCCESS(BCryptVerifySignature(
      state_->key, padding, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
      const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), flags));
}

}  // namespace mirandel::platform
