// Message digests with OpenSSL's libcrypto, opened on first use.

#include "platform/digest.hpp"

#include "platform/libcrypto_posix.hpp"

namespace mirandel::platform {

std::optional<Digest> compute_digest(DigestAlgorithm algorithm,
                                     std::span<const std::uint8_t> data) noexcept {
  const Libcrypto* crypto = libcrypto();
  if (crypto == nullptr) return std::nullopt;
  const EVP_MD* type = message_digest(*crypto, algorithm);
  if (type == nullptr) return std::nullopt;
  Digest digest;
  unsigned int size = 0;
  // One call over the whole input, which EVP_Digest takes as a size_t.
  if (crypto->EVP_Digest(data.data(), data.size(), digest.bytes.data(), &size, type, nullptr) !=
          1 ||
      size != digest_size(algorithm))
    return std::nullopt;
  digest.size = size;
  return digest;
}

}  // namespace mirandel::platform
