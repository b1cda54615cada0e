// Message digests computed by the system's cryptography library: OpenSSL's
// libcrypto on Linux, CNG (bcrypt.dll) on Windows. The program has no hash
// code of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace mirandel::platform {

/// The digests the signing mechanisms use.
enum class DigestAlgorithm : std::uint8_t { Sha256, Sha384, Sha512 };

/// The size in bytes of a digest of `algorithm`.
constexpr std::size_t digest_size(DigestAlgorithm algorithm) {
  switch (algorithm) {
    case DigestAlgorithm::Sha256:
      return 32;
    case DigestAlgorithm::Sha384:
      return 48;
    case DigestAlgorithm::Sha512:
      return 64;
  }
  return 0;
}

/// A computed digest: the first size bytes of `bytes`.
struct Digest {
  std::array<std::uint8_t, 64> bytes{};
  std::size_t size = 0;

  std::span<const std::uint8_t> view() const noexcept { return {bytes.data(), size}; }
};

/// Hashes `data` in one pass over the bytes where they lie; nothing is
/// copied. nullopt when the system's library cannot compute it.
std::optional<Digest> compute_digest(DigestAlgorithm algorithm,
                                     std::span<const std::uint8_t> data) noexcept;

}  // namespace mirandel::platform
