// Message digests with CNG, through bcrypt.dll.

#include "platform/digest.hpp"

#include "platform/digest_win32.hpp"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>

namespace mirandel::platform {

namespace {

/// An algorithm provider, closed when it goes.
class Provider {
 public:
  explicit Provider(const wchar_t* name) noexcept {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle_, name, nullptr, 0))) handle_ = nullptr;
  }
  ~Provider() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;
  BCRYPT_ALG_HANDLE get() const noexcept { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

/// A hash object, destroyed when it goes.
class Hash {
 public:
  explicit Hash(BCRYPT_ALG_HANDLE provider) noexcept {
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider, &handle_, nullptr, 0, nullptr, 0, 0)))
      handle_ = nullptr;
  }
  ~Hash() {
    if (handle_ != nullptr) BCryptDestroyHash(handle_);
  }
  Hash(const Hash&) = delete;
  Hash& operator=(const Hash&) = delete;
  BCRYPT_HASH_HANDLE get() const noexcept { return handle_; }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

}  // namespace

const wchar_t* win32::cng_digest_name(DigestAlgorithm algorithm) noexcept {
  switch (algorithm) {
    case DigestAlgorithm::Sha256:
      return BCRYPT_SHA256_ALGORITHM;
    case DigestAlgorithm::Sha384:
      return BCRYPT_SHA384_ALGORITHM;
    case DigestAlgorithm::Sha512:
      return BCRYPT_SHA512_ALGORITHM;
  }
  return nullptr;
}

std::optional<Digest> compute_digest(DigestAlgorithm algorithm,
                                     std::span<const std::uint8_t> data) noexcept {
  const wchar_t* name = win32::cng_digest_name(algorithm);
  if (name == nullptr) return std::nullopt;
  Provider provider(name);
  if (provider.get() == nullptr) return std::nullopt;
  Hash hash(provider.get());
  if (hash.get() == nullptr) return std::nullopt;
  // BCryptHashData takes a 32-bit length: larger inputs go in pieces, each
  // read where it lies (the input is not modified, whatever the prototype).
  // What is left shrinks instead of an offset growing, which could wrap
  // around a 32-bit size_t near the end of the x86 program's address space.
  constexpr std::size_t PIECE = 0x40000000;
  for (std::span<const std::uint8_t> rest = data; !rest.empty();) {
    const std::size_t piece = std::min(PIECE, rest.size());
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.get(), const_cast<PUCHAR>(rest.data()),
                                       static_cast<ULONG>(piece), 0)))
      return std::nullopt;
    rest = rest.subspan(piece);
  }
  Digest digest;
  digest.size = digest_size(algorithm);
  if (!BCRYPT_SUCCESS(
          BCryptFinishHash(hash.get(), digest.bytes.data(), static_cast<ULONG>(digest.size), 0)))
    return std::nullopt;
  return digest;
}

}  // namespace mirandel::platform
